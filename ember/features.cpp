#include "ember/features.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <emmintrin.h>

#include "ember/pe_features.h"

namespace ember {
namespace {

// ---- shared arithmetic -----------------------------------------------------

template <typename T>
T pairwise(const T* a, std::size_t n) {
  if (n < 8) {
    T s = 0;
    for (std::size_t i = 0; i < n; ++i) s += a[i];
    return s;
  }
  if (n <= 128) {
    T r[8];
    for (int j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i + 8 <= n; i += 8) {
      for (int j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    T s = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) s += a[i];
    return s;
  }
  const std::size_t m = 8 * (n / 16);
  return pairwise(a, m) + pairwise(a + m, n - m);
}

// Entropy from the byte counts of `bytes`; the terms follow the order of
// first occurrence, found by scanning only until every present value was seen.
double entropy_from_counts(ByteSpan bytes, const std::array<std::uint64_t, 256>& counts) {
  if (bytes.empty()) return 0.0;
  int distinct = 0;
  for (const std::uint64_t c : counts) distinct += c != 0;
  std::array<std::uint8_t, 256> order{};
  std::array<bool, 256> seen{};
  int found = 0;
  for (std::size_t i = 0; i < bytes.size() && found < distinct; ++i) {
    const std::uint8_t b = bytes[i];
    if (!seen[b]) {
      seen[b] = true;
      order[static_cast<std::size_t>(found++)] = b;
    }
  }
  const double size = static_cast<double>(bytes.size());
  const double ln2 = std::log(2.0);
  double h = 0.0;
  for (int i = 0; i < found; ++i) {
    const double p = static_cast<double>(counts[order[static_cast<std::size_t>(i)]]) / size;
    h -= p * (std::log(p) / ln2);
  }
  return h;
}

// ---- byte histogram and byte-entropy histogram -----------------------------

constexpr std::size_t kStep = 1024;
constexpr std::size_t kWindow = 2048;

// The entropy row of one window's 16 high-nibble counts.
int entropy_row(const std::array<std::uint32_t, 16>& c) {
  float terms[16];
  std::size_t n = 0;
  for (int k = 0; k < 16; ++k) {
    if (c[static_cast<std::size_t>(k)] == 0) continue;
    const float p = static_cast<float>(c[static_cast<std::size_t>(k)]) / static_cast<float>(kWindow);
    terms[n++] = -p * std::log2(p);
  }
  const float d = pairwise(terms, n);
  const float scaled = (d + d) * 2.0f;
  int e = static_cast<int>(scaled);
  if (e < 0) e = 0;
  if (e > 15) e = 15;
  return e;
}

// One pass over 1024-byte blocks: the byte counts of the whole file and the
// 16x16 byte-entropy table (each 2048-byte window is two adjacent blocks).
void count_bytes(ByteSpan bytes, std::array<std::uint64_t, 256>& counts, std::array<std::uint32_t, 256>& table) {
  counts.fill(0);
  table.fill(0);
  const std::size_t size = bytes.size();
  std::array<std::uint32_t, 16> prev{}, cur{};
  // Two interleaved histograms break the dependency chain of runs of one value.
  std::uint32_t h0[256], h1[256];
  for (std::size_t block = 0, off = 0; off < size; ++block, off += kStep) {
    const std::size_t len = std::min(kStep, size - off);
    std::memset(h0, 0, sizeof h0);
    std::memset(h1, 0, sizeof h1);
    const std::uint8_t* p = bytes.data() + off;
    std::size_t i = 0;
    for (; i + 2 <= len; i += 2) {
      ++h0[p[i]];
      ++h1[p[i + 1]];
    }
    if (i < len) ++h0[p[i]];
    for (int k = 0; k < 16; ++k) {
      std::uint32_t s = 0;
      for (int j = 0; j < 16; ++j) {
        const std::uint32_t v = h0[16 * k + j] + h1[16 * k + j];
        counts[static_cast<std::size_t>(16 * k + j)] += v;
        s += v;
      }
      cur[static_cast<std::size_t>(k)] = s;
    }
    // Files shorter than one window are a single window over everything;
    // otherwise a window ends at each block end from 2048 bytes on, as long
    // as it lies wholly inside the file.
    if (size >= kWindow && block >= 1 && off + kStep <= size) {
      std::array<std::uint32_t, 16> w;
      for (int k = 0; k < 16; ++k) w[static_cast<std::size_t>(k)] = prev[static_cast<std::size_t>(k)] + cur[static_cast<std::size_t>(k)];
      const int e = entropy_row(w);
      for (int k = 0; k < 16; ++k) table[static_cast<std::size_t>(16 * e + k)] += w[static_cast<std::size_t>(k)];
    }
    prev = cur;
  }
  if (size < kWindow) {
    std::array<std::uint32_t, 16> w{};
    for (int k = 0; k < 16; ++k) {
      for (int j = 0; j < 16; ++j) w[static_cast<std::size_t>(k)] += static_cast<std::uint32_t>(counts[static_cast<std::size_t>(16 * k + j)]);
    }
    const int e = entropy_row(w);
    for (int k = 0; k < 16; ++k) table[static_cast<std::size_t>(16 * e + k)] += w[static_cast<std::size_t>(k)];
  }
}

// Values converted to single precision and divided by their single-precision sum.
template <typename T>
void normalised(const std::array<T, 256>& v, float* out) {
  float f[256];
  for (std::size_t i = 0; i < 256; ++i) f[i] = static_cast<float>(v[i]);
  const float sum = pairwise(f, 256);
  for (std::size_t i = 0; i < 256; ++i) out[i] = f[i] / sum;
}

// ---- strings ---------------------------------------------------------------

bool is_word(std::uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
bool is_digit(std::uint8_t c) { return c >= '0' && c <= '9'; }
bool is_hex(std::uint8_t c) { return is_digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
std::uint8_t lower(std::uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c + 32) : c; }
bool is_base58(std::uint8_t c) {
  return (c >= '1' && c <= '9') || (c >= 'A' && c <= 'Z' && c != 'I' && c != 'O') || (c >= 'a' && c <= 'z' && c != 'l');
}
bool is_url_char(std::uint8_t c) {
  return std::string_view("!#$&'()*+,-.0123456789:;=?@[]_~").find(static_cast<char>(c)) != std::string_view::npos ||
         (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

enum class Kind { Raw, Lower, Alphabet, Click, Url, Ipv4, Ipv6, Mac, Btc, Path, Registry };

struct Pattern {
  std::string_view needle;
  Kind kind;
};

// Row order is the order of the 77 counters in the Strings group.
constexpr Pattern kPatterns[kStringPatternCount] = {
    {"click", Kind::Click},
    {"/EmbeddedFile", Kind::Raw},
    {"/FlateDecode", Kind::Raw},
    {"/URI", Kind::Raw},
    {"/bin/", Kind::Raw},
    {"/dev/", Kind::Raw},
    {"/proc/", Kind::Raw},
    {"/tmp/", Kind::Raw},
    {"/usr/", Kind::Raw},
    {"<script", Kind::Lower},
    {"Invoke-Command", Kind::Raw},
    {"Invoke-Expression", Kind::Raw},
    {"Start-process", Kind::Raw},
    {"base64", Kind::Lower},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz012345678", Kind::Alphabet},
    {"", Kind::Btc},
    {"cache", Kind::Lower},
    {"certificate", Kind::Lower},
    {"clipboard", Kind::Lower},
    {"command", Kind::Lower},
    {"connect", Kind::Lower},
    {"cookie", Kind::Lower},
    {"create", Kind::Lower},
    {"crypt", Kind::Raw},
    {"debug", Kind::Lower},
    {"decode", Kind::Lower},
    {"delete", Kind::Lower},
    {"desktop", Kind::Lower},
    {"directory", Kind::Lower},
    {"disk", Kind::Lower},
    {"!This program ", Kind::Raw},
    {"download", Kind::Lower},
    {"", Kind::Mac},  // "email_addr" uses the same rule as "mac_addr"
    {"encode", Kind::Lower},
    {"enum", Kind::Lower},
    {"environment", Kind::Lower},
    {"exit", Kind::Lower},
    {"file", Kind::Lower},
    {"", Kind::Path},
    {"ftp:", Kind::Lower},
    {"get /", Kind::Lower},
    {"hidden", Kind::Lower},
    {"hostname", Kind::Lower},
    {"html", Kind::Lower},
    {"http/", Kind::Lower},
    {"http://", Kind::Lower},
    {"https://", Kind::Lower},
    {"install", Kind::Lower},
    {"internet", Kind::Lower},
    {"", Kind::Ipv4},
    {"", Kind::Ipv6},
    {"javascript", Kind::Lower},
    {"keyboard", Kind::Lower},
    {"", Kind::Mac},
    {"memory", Kind::Lower},
    {"module", Kind::Lower},
    {"mutex", Kind::Lower},
    {"onclick", Kind::Lower},
    {"password", Kind::Lower},
    {"post /", Kind::Lower},
    {"powershell", Kind::Lower},
    {"privilege", Kind::Lower},
    {"process", Kind::Lower},
    {"", Kind::Registry},
    {"remote", Kind::Lower},
    {"resource", Kind::Lower},
    {"security", Kind::Lower},
    {"service", Kind::Lower},
    {"shell", Kind::Lower},
    {"snapshot", Kind::Lower},
    {"system", Kind::Lower},
    {"thread", Kind::Lower},
    {"token", Kind::Lower},
    {"", Kind::Url},
    {"user-agent", Kind::Lower},
    {"wallet", Kind::Lower},
    {"window", Kind::Lower},
};

// What a needle found case-blind by the automaton must also satisfy.
enum class Check { Lower, Click, Raw, Alphabet, RawAtBoundary, UrlPrefix };

struct Needle {
  std::string_view text;
  std::uint8_t row;
  Check check;
};

constexpr std::size_t kRowUrl = 73, kRowPath = 38, kRowRegistry = 63;

// The automaton's needles: every needle row of the table, and the fixed
// prefixes of the url, path and registry rules (verified at a word boundary).
std::vector<Needle> automaton_needles() {
  std::vector<Needle> out;
  for (std::size_t r = 0; r < kStringPatternCount; ++r) {
    const Pattern& p = kPatterns[r];
    const auto row = static_cast<std::uint8_t>(r);
    switch (p.kind) {
      case Kind::Lower: out.push_back({p.needle, row, Check::Lower}); break;
      case Kind::Click: out.push_back({p.needle, row, Check::Click}); break;
      case Kind::Raw: out.push_back({p.needle, row, Check::Raw}); break;
      case Kind::Alphabet: out.push_back({p.needle, row, Check::Alphabet}); break;
      default: break;
    }
  }
  for (const std::string_view prefix : {"http://", "https://", "ftp://"}) out.push_back({prefix, kRowUrl, Check::UrlPrefix});
  out.push_back({"C:/", kRowPath, Check::RawAtBoundary});
  for (const std::string_view prefix : {"HKEY_", "HKLM", "HKCU"}) out.push_back({prefix, kRowRegistry, Check::RawAtBoundary});
  return out;
}

// All needle rows in one Aho-Corasick automaton over the lower-cased string:
// one table step per byte whatever the number of needles. A state reached at
// the end of a needle lists the rows ending there; rows that need the
// original case are verified at the match.
class NeedleAutomaton {
 public:
  NeedleAutomaton() : needles_(automaton_needles()) {
    for (int b = 0; b < 256; ++b) cls_[static_cast<std::size_t>(b)] = 0;
    int classes = 1;
    for (const Needle& p : needles_) {
      for (const char ch : p.text) {
        const std::uint8_t c = lower(static_cast<std::uint8_t>(ch));
        if (cls_[c] == 0) cls_[c] = static_cast<std::uint8_t>(classes++);
      }
    }
    for (int b = 0; b < 256; ++b) cls_[static_cast<std::size_t>(b)] = cls_[lower(static_cast<std::uint8_t>(b))];
    k_ = static_cast<std::size_t>(classes);
    // Trie.
    std::vector<std::vector<int>> go(1, std::vector<int>(k_, -1));
    outputs_.emplace_back();
    for (std::size_t r = 0; r < needles_.size(); ++r) {
      int st = 0;
      for (const char ch : needles_[r].text) {
        const std::uint8_t c = cls_[static_cast<std::uint8_t>(ch)];
        if (go[static_cast<std::size_t>(st)][c] < 0) {
          go[static_cast<std::size_t>(st)][c] = static_cast<int>(go.size());
          go.emplace_back(k_, -1);
          outputs_.emplace_back();
        }
        st = go[static_cast<std::size_t>(st)][c];
      }
      outputs_[static_cast<std::size_t>(st)].push_back(static_cast<std::uint8_t>(r));
    }
    // Breadth-first completion with failure links; outputs inherit along them.
    const std::size_t n = go.size();
    std::vector<int> fail(n, 0), queue;
    for (std::size_t c = 0; c < k_; ++c) {
      int& t = go[0][c];
      if (t < 0) {
        t = 0;
      } else {
        fail[static_cast<std::size_t>(t)] = 0;
        queue.push_back(t);
      }
    }
    for (std::size_t qi = 0; qi < queue.size(); ++qi) {
      const std::size_t st = static_cast<std::size_t>(queue[qi]);
      const auto& inherited = outputs_[static_cast<std::size_t>(fail[st])];
      outputs_[st].insert(outputs_[st].end(), inherited.begin(), inherited.end());
      for (std::size_t c = 0; c < k_; ++c) {
        int& t = go[st][c];
        if (t < 0) {
          t = go[static_cast<std::size_t>(fail[st])][c];
        } else {
          fail[static_cast<std::size_t>(t)] = go[static_cast<std::size_t>(fail[st])][c];
          queue.push_back(t);
        }
      }
    }
    if (n * k_ > 65535) std::abort();  // the needle table is fixed; this cannot happen
    delta_.resize(n * k_);
    has_output_.assign(n * k_, 0);
    for (std::size_t st = 0; st < n; ++st) has_output_[st * k_] = outputs_[st].empty() ? 0 : 1;
    for (std::size_t st = 0; st < n; ++st) {
      for (std::size_t c = 0; c < k_; ++c) {
        const std::size_t t = static_cast<std::size_t>(go[st][c]);
        delta_[st * k_ + c] = static_cast<std::uint16_t>(t * k_);
      }
    }
  }

  // States are held as their row offset in the table (state * classes); the
  // start state is 0. The step is one load, so the per-byte chain stays short.
  std::uint16_t step(std::uint16_t state, std::uint8_t b) const { return delta_[state + cls_[b]]; }
  bool has_output(std::uint16_t state) const { return has_output_[state] != 0; }
  // Indices into needles() of the needles ending in `state`.
  const std::vector<std::uint8_t>& outputs(std::uint16_t state) const { return outputs_[state / k_]; }
  const std::vector<Needle>& needles() const { return needles_; }

 private:
  std::vector<Needle> needles_;
  std::array<std::uint8_t, 256> cls_;
  std::size_t k_ = 1;
  std::vector<std::uint16_t> delta_;
  std::vector<std::uint8_t> has_output_;   // by state offset
  std::vector<std::vector<std::uint8_t>> outputs_;
};

const NeedleAutomaton& needle_automaton() {
  static const NeedleAutomaton automaton;
  return automaton;
}

constexpr std::size_t kRowMac1 = 32, kRowMac2 = 53;

// The rows one string matched, as a bit set.
struct Hits {
  std::uint64_t w[2] = {0, 0};
  bool test(std::size_t r) const { return (w[r / 64] >> (r % 64)) & 1u; }
  void set(std::size_t r) { w[r / 64] |= std::uint64_t{1} << (r % 64); }
};

// Byte classes for the matcher's per-byte test.
constexpr std::uint8_t kWordChar = 1, kBtcStart = 4, kColon = 8, kDot = 16, kDash = 32, kDigit = 64;
constexpr std::array<std::uint8_t, 256> make_char_flags() {
  std::array<std::uint8_t, 256> f{};
  for (int c = 0; c < 256; ++c) {
    const auto b = static_cast<std::uint8_t>(c);
    std::uint8_t v = 0;
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_') v |= kWordChar;
    if (b == '1' || b == '3') v |= kBtcStart;
    if (b == ':') v |= kColon;
    if (b == '.') v |= kDot;
    if (b == '-') v |= kDash;
    if (b >= '0' && b <= '9') v |= kDigit;
    f[static_cast<std::size_t>(c)] = v;
  }
  return f;
}
constexpr std::array<std::uint8_t, 256> kCharFlags = make_char_flags();

class StringMatcher {
 public:
  explicit StringMatcher(std::string_view s)
      : s_(reinterpret_cast<const std::uint8_t*>(s.data())), n_(s.size()) {}

  // The rows whose rule holds for the string.
  // Also counts every byte into the 96-bin histogram `bins` (byte - 0x20).
  Hits match(std::uint64_t* bins) const {
    Hits hit;
    const NeedleAutomaton& ac = needle_automaton();
    std::uint16_t state = 0;
    unsigned seen = 0;
    for (std::size_t i = 0; i < n_; ++i) {
      const std::uint8_t c = s_[i];
      ++bins[c - 0x20];
      state = ac.step(state, c);
      if (ac.has_output(state)) [[unlikely]] {
        for (const std::uint8_t k : ac.outputs(state)) {
          const Needle& nd = ac.needles()[k];
          if (!hit.test(nd.row) && needle_holds(nd, i + 1 - nd.text.size())) hit.set(nd.row);
        }
      }
      const unsigned f = kCharFlags[c];
      seen |= f;
      if ((f & kBtcStart) && !hit.test(15) && btc_at(i)) [[unlikely]] hit.set(15);
    }
    // The address rules need a ":", "." or "-" somewhere; most strings have
    // none, and then the second pass is skipped.
    const bool want_ipv4 = !hit.test(49) && (seen & kDot) && (seen & kDigit);
    const bool want_ipv6 = !hit.test(50) && (seen & kColon);
    const bool want_mac = !hit.test(kRowMac1) && (seen & (kColon | kDash));
    if (want_ipv4 || want_ipv6 || want_mac) address_pass(hit, want_ipv4, want_ipv6, want_mac);
    return hit;
  }

 private:
  // The ipv4, ipv6 and mac rules at every word boundary.
  void address_pass(Hits& hit, bool ipv4, bool ipv6, bool mac) const {
    bool prev_word = false;
    for (std::size_t i = 0; i < n_; ++i) {
      const std::uint8_t c = s_[i];
      const bool word = is_word(c);
      if (word && !prev_word) {
        if (ipv4 && is_digit(c) && !hit.test(49) && ipv4_at(i)) hit.set(49);
        if (is_hex(c)) {
          if (ipv6 && !hit.test(50) && ipv6_at(i)) hit.set(50);
          if (mac && !hit.test(kRowMac1) && mac_at(i)) {
            hit.set(kRowMac1);
            hit.set(kRowMac2);
          }
        }
      } else if (!word && prev_word && c == ':' && ipv6 && !hit.test(50) && ipv6_at(i)) {
        hit.set(50);
      }
      prev_word = word;
    }
  }

  // A needle found case-blind at `at` also meets its row's rule there.
  bool needle_holds(const Needle& nd, std::size_t at) const {
    switch (nd.check) {
      case Check::Lower: return true;
      case Check::Click: return at >= 1;
      case Check::Raw: return std::memcmp(s_ + at, nd.text.data(), nd.text.size()) == 0;
      case Check::Alphabet: return raw_at(at, nd.row);
      case Check::RawAtBoundary:
        return std::memcmp(s_ + at, nd.text.data(), nd.text.size()) == 0 && boundary(at);
      case Check::UrlPrefix: {
        const std::size_t next = at + nd.text.size();
        return std::memcmp(s_ + at, nd.text.data(), nd.text.size()) == 0 && boundary(at) && next < n_ &&
               is_url_char(s_[next]);
      }
    }
    return false;
  }

  bool word_at(std::size_t i) const { return i < n_ && is_word(s_[i]); }
  bool boundary(std::size_t i) const { return (i > 0 && is_word(s_[i - 1])) != word_at(i); }
  bool starts(std::size_t i, std::string_view t) const {
    return n_ - i >= t.size() && std::memcmp(s_ + i, t.data(), t.size()) == 0;
  }
  bool raw_at(std::size_t i, std::uint8_t row) const {
    const Pattern& p = kPatterns[row];
    if (!starts(i, p.needle)) return false;
    if (p.kind == Kind::Raw) return true;
    // Alphabet: the needle, one or more "9", then "/".
    std::size_t j = i + p.needle.size();
    if (j >= n_ || s_[j] != '9') return false;
    while (j < n_ && s_[j] == '9') ++j;
    return j < n_ && s_[j] == '/';
  }
  // Greedy run of hexadecimal (or decimal) digits from i, counted up to `cap`.
  std::size_t run(std::size_t i, bool hex, std::size_t cap) const {
    std::size_t k = 0;
    while (i + k < n_ && k < cap && (hex ? is_hex(s_[i + k]) : is_digit(s_[i + k]))) ++k;
    return k;
  }
  bool btc_at(std::size_t j) const {
    if (j + 2 > n_ || n_ - j - 1 < 25) return false;
    for (std::size_t k = 1; k <= 25; ++k) {
      if (!is_base58(s_[j + k])) return false;
    }
    return true;
  }
  bool ipv4_at(std::size_t i) const {
    std::size_t pos = i;
    for (int octet = 0; octet < 4; ++octet) {
      const std::size_t len = run(pos, false, 4);
      if (len < 1 || len > 3) return false;
      int value = 0;
      for (std::size_t k = 0; k < len; ++k) value = value * 10 + (s_[pos + k] - '0');
      if (value > 255) return false;
      pos += len;
      if (octet < 3) {
        if (pos >= n_ || s_[pos] != '.') return false;
        ++pos;
      }
    }
    return boundary(pos);
  }
  bool ipv6_at(std::size_t p) const {
    const std::uint8_t c = s_[p];
    if (c == ':') {
      // ":" after a word character, 1-4 hex digits, ":", 1-4 hex digits, boundary.
      std::size_t pos = p + 1;
      std::size_t len = run(pos, true, 5);
      if (len < 1 || len > 4) return false;
      pos += len;
      if (pos >= n_ || s_[pos] != ':') return false;
      ++pos;
      len = run(pos, true, 5);
      if (len < 1 || len > 4) return false;
      return boundary(pos + len);
    }
    if (!is_hex(c)) return false;
    // Full form: seven "group:" then a last group and a boundary.
    std::size_t pos = p;
    bool full = true;
    for (int g = 0; g < 7 && full; ++g) {
      const std::size_t len = run(pos, true, 5);
      if (len < 1 || len > 4 || pos + len >= n_ || s_[pos + len] != ':') full = false;
      else pos += len + 1;
    }
    if (full) {
      const std::size_t len = run(pos, true, 5);
      if (len >= 1 && len <= 4 && boundary(pos + len)) return true;
    }
    // Compressed form: 1-7 "group:" where one is followed by ":" and a word character.
    pos = p;
    for (int g = 0; g < 7; ++g) {
      const std::size_t len = run(pos, true, 5);
      if (len < 1 || len > 4 || pos + len >= n_ || s_[pos + len] != ':') return false;
      pos += len + 1;
      if (pos + 1 < n_ && s_[pos] == ':' && is_word(s_[pos + 1])) return true;
    }
    return false;
  }
  bool mac_at(std::size_t i) const {
    if (n_ - i < 17) return false;
    for (std::size_t k = 0; k < 6; ++k) {
      if (!is_hex(s_[i + 3 * k]) || !is_hex(s_[i + 3 * k + 1])) return false;
      if (k < 5 && s_[i + 3 * k + 2] != ':' && s_[i + 3 * k + 2] != '-') return false;
    }
    return boundary(i + 17);
  }

  const std::uint8_t* s_;
  std::size_t n_;
};

bool is_printable(std::uint8_t c) { return c >= 0x20 && c <= 0x7F; }

// Bit i set when p[i] is printable (0x20-0x7F: exactly the bytes above 31 as
// signed values), for the 64 bytes from p.
std::uint64_t printable_mask(const std::uint8_t* p) {
  const __m128i limit = _mm_set1_epi8(31);
  std::uint64_t m = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    m |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpgt_epi8(v, limit)))) << (16 * k);
  }
  return m;
}

void strings_group(ByteSpan bytes, float* out) {
  std::uint64_t count = 0, total_length = 0;
  std::array<std::uint64_t, 96> bins{};
  std::array<std::uint64_t, kStringPatternCount> patterns{};
  const std::size_t size = bytes.size();
  const std::uint8_t* p = bytes.data();
  auto handle = [&](std::size_t start, std::size_t len) {
    ++count;
    total_length += len;
    const Hits hit = StringMatcher(as_chars(bytes.subspan(start, len))).match(bins.data());
    for (int w = 0; w < 2; ++w) {
      for (std::uint64_t bits = hit.w[w]; bits != 0; bits &= bits - 1) ++patterns[static_cast<std::size_t>(64 * w + std::countr_zero(bits))];
    }
  };
  // 64 bytes at a time: a bit mask of the printable bytes shows where runs of
  // five or more end without looking at each byte. `run` is the length of the
  // printable run that ends just before the current block.
  std::size_t run = 0;
  std::size_t base = 0;
  for (; base + 64 <= size; base += 64) {
    const std::uint64_t m = printable_mask(p + base);
    if (m == ~std::uint64_t{0}) {
      run += 64;
      continue;
    }
    const int first_zero = std::countr_zero(~m);
    if (run + static_cast<std::size_t>(first_zero) >= 5) {
      const std::size_t len = run + static_cast<std::size_t>(first_zero);
      handle(base + static_cast<std::size_t>(first_zero) - len, len);
    }
    const std::uint64_t after = first_zero == 63 ? 0 : ~((std::uint64_t{2} << first_zero) - 1);
    const std::uint64_t rest = m & after;
    if ((rest & (rest >> 1) & (rest >> 2) & (rest >> 3) & (rest >> 4)) == 0) {
      run = static_cast<std::size_t>(std::countl_one(m));  // too short to count yet; may continue
      continue;
    }
    std::size_t pos = static_cast<std::size_t>(first_zero) + 1;
    for (std::uint64_t zeros = ~m & after; zeros != 0; zeros &= zeros - 1) {
      const std::size_t z = static_cast<std::size_t>(std::countr_zero(zeros));
      if (z - pos >= 5) handle(base + pos, z - pos);
      pos = z + 1;
    }
    run = 64 - pos;
  }
  for (std::size_t i = base; i < size; ++i) {
    if (is_printable(p[i])) {
      ++run;
    } else {
      if (run >= 5) handle(i - run, run);
      run = 0;
    }
  }
  if (run >= 5) handle(size - run, run);
  std::uint64_t total = 0;
  for (const std::uint64_t b : bins) total += b;
  out[0] = static_cast<float>(count);
  out[1] = count ? static_cast<float>(static_cast<double>(total_length) / static_cast<double>(count)) : 0.0f;
  out[2] = static_cast<float>(total);
  const double divisor = static_cast<double>(total > 0 ? total : 1);
  for (std::size_t k = 0; k < 96; ++k) out[3 + k] = static_cast<float>(static_cast<double>(bins[k]) / divisor);
  double entropy = 0.0;
  if (count > 0) {
    double terms[96];
    std::size_t n = 0;
    for (std::size_t k = 0; k < 96; ++k) {
      if (bins[k] == 0) continue;
      const double p = static_cast<double>(static_cast<float>(bins[k])) / static_cast<double>(total);
      terms[n++] = std::log2(p) * -p;
    }
    entropy = pairwise(terms, n);
  }
  out[99] = static_cast<float>(entropy);
  for (std::size_t r = 0; r < kStringPatternCount; ++r) out[kStringPatternsIndex + r] = static_cast<float>(patterns[r]);
}

bool contains(ByteSpan hay, std::string_view needle) {
  return ::memmem(hay.data(), hay.size(), needle.data(), needle.size()) != nullptr;
}

}  // namespace

const char* file_kind_name(FileKind kind) {
  switch (kind) {
    case FileKind::Win32: return "Win32";
    case FileKind::Win64: return "Win64";
    case FileKind::DotNet: return ".NET";
    case FileKind::ELF: return "ELF";
    case FileKind::APK: return "APK";
    case FileKind::PDF: return "PDF";
    default: return "Other";
  }
}

float pairwise_sum(std::span<const float> v) { return pairwise(v.data(), v.size()); }
double pairwise_sum(std::span<const double> v) { return pairwise(v.data(), v.size()); }

double byte_entropy(ByteSpan bytes) {
  std::array<std::uint64_t, 256> counts{};
  for (const std::uint8_t b : bytes) ++counts[b];
  return entropy_from_counts(bytes, counts);
}

FileKind non_pe_kind(ByteSpan b) {
  if (b.size() >= 4) {
    if (b[0] == 0x7F && b[1] == 'E' && b[2] == 'L' && b[3] == 'F') return FileKind::ELF;
    if (b[0] == 'P' && b[1] == 'K' && b[2] == 3 && b[3] == 4) {
      return contains(b, "AndroidManifest.xml") && contains(b, "classes.dex") ? FileKind::APK : FileKind::Other;
    }
  }
  return contains(b.first(std::min<std::size_t>(b.size(), 1024)), "%PDF-") ? FileKind::PDF : FileKind::Other;
}

std::vector<float> extract_features(ByteSpan bytes, FeatureInfo* info_out) {
  std::vector<float> v(kFeatureCount, 0.0f);
  FeatureInfo info;
  const bool is_pe = extract_pe_groups(bytes, std::span<float>(v).subspan(kPeGroupsOffset, kPeGroupsCount), info);
  info.is_pe = is_pe;
  if (!is_pe) {
    // Facts of a refused PE stay at their not-PE values.
    info = FeatureInfo{};
    info.kind = non_pe_kind(bytes);
  }

  std::array<std::uint64_t, 256> counts;
  std::array<std::uint32_t, 256> table;
  count_bytes(bytes, counts, table);
  info.entropy = entropy_from_counts(bytes, counts);

  float* general = v.data() + kGeneralOffset;
  general[0] = static_cast<float>(bytes.size());
  general[1] = static_cast<float>(info.entropy);
  general[2] = is_pe ? 1.0f : 0.0f;
  for (std::size_t i = 0; i < 4; ++i) general[3 + i] = i < bytes.size() ? static_cast<float>(bytes[i]) : 0.0f;

  normalised(counts, v.data() + kByteHistogramOffset);
  normalised(table, v.data() + kByteEntropyOffset);
  strings_group(bytes, v.data() + kStringsOffset);

  if (info_out) *info_out = std::move(info);
  return v;
}

}  // namespace ember
