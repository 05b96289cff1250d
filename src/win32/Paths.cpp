#include "win32/Paths.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

#include "CommandLine.h"

namespace lindqvar {

std::wstring WideName(std::string_view bytes) {
  const std::u16string text = Utf16FromUtf8(bytes);
  return std::wstring(text.begin(), text.end());
}

std::string AnsiText(std::wstring_view text) {
  // No "best fit" (an "l" for a "ł"): what the code page cannot hold is a
  // "?". A UTF-8 code page takes no such flags, and holds everything.
  const bool utf8 = ::GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* const missing = utf8 ? nullptr : "?";
  const int size = ::WideCharToMultiByte(CP_ACP, flags, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, missing, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, flags, text.data(), static_cast<int>(text.size()), bytes.data(),
                        size, missing, nullptr);
  return bytes;
}

std::wstring FullPath(const std::wstring& name) {
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size =
        ::GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (size == 0) return name;
    if (size < full.size()) {
      full.resize(size);
      return full;
    }
    full.resize(size);
  }
}

std::wstring SystemPath(const std::wstring& name) {
  const std::wstring full = FullPath(name);
  if (full.size() < MAX_PATH || full.starts_with(L"\\\\?\\")) return name;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::wstring TemporaryName(const std::wstring& folder, const wchar_t* prefix, unsigned attempt) {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  wchar_t digits[16];
  std::swprintf(digits, std::size(digits), L"%08lx",
                static_cast<unsigned long>((now.QuadPart ^ (::GetCurrentProcessId() << 16)) +
                                           attempt * 2654435761u));
  return folder + L"\\" + prefix + digits;
}

std::wstring FinalPath(HANDLE file) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = ::GetFinalPathNameByHandleW(
        file, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (size == 0) return {};
    if (size < path.size()) {
      path.resize(size);
      return path;
    }
    path.resize(size);
  }
}

bool IdentityOf(HANDLE file, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info)) {
    return false;
  }
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool IdentityOfName(const std::wstring& path, FileIdentity& identity) {
  const HANDLE file = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = IdentityOf(file, identity);
  ::CloseHandle(file);
  return known;
}

bool HeldByAnother(DWORD err) {
  return err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION;
}

bool InUseBackOff::Wait() {
  constexpr DWORD kPatience = 1000;  // milliseconds in all
  if (waited >= kPatience) return false;
  const DWORD pause = std::min(next, kPatience - waited);
  ::Sleep(pause);
  waited += pause;
  next *= 2;
  return true;
}

std::wstring TrimMessage(std::wstring message) {
  while (!message.empty()) {
    const wchar_t last = message.back();
    // Blanks, control characters, and the full stops of several scripts:
    // ".", the ideographic "。" and the full-width "．".
    if (last > L' ' && last != L'.' && last != L'\x3002' && last != L'\xFF0E') break;
    message.pop_back();
  }
  return message;
}

std::string SystemErrorText(DWORD err) {
  wchar_t* text = nullptr;
  const DWORD size = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, err, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text ? text : L"", size);
  ::LocalFree(text);
  return AnsiText(TrimMessage(std::move(message)));
}

}  // namespace lindqvar
