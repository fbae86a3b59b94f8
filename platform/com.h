// SPDX-License-Identifier: GPL-3.0-or-later
// Result codes, GUIDs and the small runtime layer that the frame source and the
// driver rely on: initialisation of the component runtime, task memory, and the
// exception type that carries a result code.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT VFW_E_INVALIDMEDIATYPE = static_cast<HRESULT>(0x80040200u);
/// The file could not be opened or parsed as a movie.
inline constexpr HRESULT VFW_E_INVALID_FILE_FORMAT = static_cast<HRESULT>(0x8004022Fu);
inline constexpr HRESULT VFW_E_NOT_FOUND = static_cast<HRESULT>(0x80040216u);

inline constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
inline constexpr bool Failed(HRESULT hr) { return hr < 0; }

/// The code made from a system error number: 0x80070000 | (e & 0xFFFF) for e > 0, else e.
inline constexpr HRESULT HresultFromErrno(int e) {
  return e > 0 ? static_cast<HRESULT>(0x80070000u | (static_cast<std::uint32_t>(e) & 0xFFFFu))
               : static_cast<HRESULT>(e);
}

/// A 16-byte class, interface or type identifier, laid out as the platform lays it out.
struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
  friend bool operator==(const GUID&, const GUID&) = default;
};
static_assert(sizeof(GUID) == 16);

/// Thrown by the text conversions and other helpers; carries the result code.
class ComError : public std::exception {
 public:
  explicit ComError(HRESULT code, std::string what = {}) : code_(code), what_(std::move(what)) {
    if (what_.empty()) what_ = "result code " + std::to_string(static_cast<std::uint32_t>(code_));
  }
  HRESULT code() const noexcept { return code_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  HRESULT code_;
  std::string what_;
};

inline constexpr std::uint32_t COINIT_APARTMENTTHREADED = 2;

/// Initialises the component runtime for the calling thread. There is nothing to set up on
/// Linux; the result is S_OK unless a test forced another one.
HRESULT CoInitializeEx(void* reserved, std::uint32_t model);
void CoUninitialize();
/// Makes the next CoInitializeEx calls answer `hr` (tests of the driver's failure path).
void SetCoInitializeResultForTesting(HRESULT hr);

/// Task memory: the format blocks of media types are allocated and freed with these.
void* CoTaskMemAlloc(std::size_t bytes);
void CoTaskMemFree(void* block);
