#include "av/zip_reader.h"

#include <zip.h>

#include <cstring>

namespace av {
namespace {

constexpr std::uint32_t kDosDirectoryAttribute = 0x10;

}  // namespace

struct ZipReader::Archive {
  zip_t* zip = nullptr;
  std::uint64_t count = 0;
  ~Archive() {
    if (zip) zip_discard(zip);
  }
};

ZipReader::ZipReader() = default;
ZipReader::~ZipReader() = default;

bool ZipReader::open(ByteSpan bytes) {
  archive_.reset();
  zip_error_t error;
  zip_error_init(&error);
  // The buffer source reads the caller's bytes in place (no copy, no free).
  zip_source_t* source = zip_source_buffer_create(bytes.empty() ? nullptr : bytes.data(), bytes.size(), 0, &error);
  if (!source) {
    zip_error_fini(&error);
    return false;
  }
  zip_t* zip = zip_open_from_source(source, ZIP_RDONLY, &error);
  zip_error_fini(&error);
  if (!zip) {
    zip_source_free(source);  // still ours when the open failed
    return false;
  }
  auto archive = std::make_unique<Archive>();
  archive->zip = zip;
  const zip_int64_t n = zip_get_num_entries(zip, 0);
  archive->count = n > 0 ? static_cast<std::uint64_t>(n) : 0;
  archive_ = std::move(archive);
  return true;
}

std::uint64_t ZipReader::member_count() const { return archive_ ? archive_->count : 0; }

bool ZipReader::stat(std::uint64_t index, ZipMember& out) const {
  if (!archive_ || index >= archive_->count) return false;
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(archive_->zip, index, ZIP_FL_ENC_RAW, &st) != 0) return false;
  constexpr zip_uint64_t kNeeded =
      ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
  if ((st.valid & kNeeded) != kNeeded || !st.name) return false;

  ZipMember m;
  // The library hands out the stored name with any NUL byte replaced by a
  // space, so the C string is the whole name.
  const std::size_t full = std::strlen(st.name);
  m.name.assign(st.name, full < kMaxNameBytes ? full : kMaxNameBytes);
  m.size = st.size;
  m.compressed_size = st.comp_size;
  m.crc = st.crc;
  m.method = st.comp_method;
  m.encrypted = st.encryption_method != ZIP_EM_NONE;
  m.supported = !m.encrypted && (m.method == ZIP_CM_STORE || m.method == ZIP_CM_DEFLATE);
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  const bool dos_directory =
      zip_file_get_external_attributes(archive_->zip, index, 0, &system, &attributes) == 0 &&
      (attributes & kDosDirectoryAttribute) != 0;
  m.directory = (full > 0 && st.name[full - 1] == '/') || dos_directory;
  out = std::move(m);
  return true;
}

bool ZipReader::extract(std::uint64_t index, std::span<std::uint8_t> out) const {
  if (!archive_ || index >= archive_->count) return false;
  zip_file_t* file = zip_fopen_index(archive_->zip, index, 0);
  if (!file) return false;
  bool ok = true;
  std::size_t got = 0;
  while (got < out.size()) {
    const zip_int64_t n = zip_fread(file, out.data() + got, out.size() - got);
    if (n <= 0) {
      ok = false;  // an error, or the data ended before the buffer was full
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  if (ok) {
    // One more read must report the end of the data: that is where the
    // library compares the CRC-32 and the size with the directory's, and a
    // member longer than the buffer shows up here as an extra byte.
    std::uint8_t extra;
    ok = zip_fread(file, &extra, 1) == 0;
  }
  if (zip_fclose(file) != 0) ok = false;
  return ok;
}

}  // namespace av
