// Small file helpers shared by the service wrapper's call recorder and the test programs.
#pragma once

#include <windows.h>

#include <string>

namespace qnst_svc {

// The directory of this program, without a trailing backslash ("" when it cannot be found).
inline std::string module_dir() {
  std::string path(32768, '\0');
  DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return {};
  path.resize(n);
  size_t cut = path.find_last_of('\\');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

// Appends one line with a single append-only write, so that lines written by several processes
// at once (installer, service, server) never interleave or overwrite each other.
inline bool append_line(const std::string& path, std::string line) {
  HANDLE f = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  line += '\n';
  DWORD written = 0;
  BOOL ok = WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(f);
  return ok && written == line.size();
}

}  // namespace qnst_svc
