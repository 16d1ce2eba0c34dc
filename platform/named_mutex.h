// A cross-process ownership marker: the first process to claim a name holds
// it until it releases it or exits (however it exits, the operating system
// lets go). Never waited on: a claim succeeds or fails at once.
#pragma once

#include "platform/file_system.h"

class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Claims the marker kept at `lock_path` (created when missing). True when
  // this object now holds it, including when it held it already.
  bool try_claim(const NativePath& lock_path);
  bool held() const { return fd_ >= 0; }
  void release();

 private:
  int fd_ = -1;
};
