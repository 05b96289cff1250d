#include "win32/Paths.h"

namespace lindqvar {

namespace {

std::wstring Wide(const std::string& bytes) {
  const int size =
      ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
  return text;
}

std::string Narrow(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
  return bytes;
}

// The full path of name in wide characters, empty when it cannot be had.
std::wstring FullPath(const std::wstring& name) {
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size =
        ::GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (size == 0) return {};
    if (size < full.size()) {
      full.resize(size);
      return full;
    }
    full.resize(size);
  }
}

}  // namespace

std::string FullPathName(const std::string& name) {
  const std::wstring full = FullPath(Wide(name));
  return full.empty() ? name : Narrow(full);
}

std::wstring SystemPathName(const std::string& name) {
  const std::wstring wide = Wide(name);
  const std::wstring full = FullPath(wide);
  if (full.size() < MAX_PATH || full.starts_with(L"\\\\?\\")) return wide;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::string SystemErrorText(DWORD err) {
  char* text = nullptr;
  const DWORD size = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, err, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message(text ? text : "", size);
  ::LocalFree(text);
  while (!message.empty() &&
         (static_cast<unsigned char>(message.back()) <= ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
}

}  // namespace lindqvar
