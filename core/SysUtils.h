// The exception base and the small string helpers every layer shares.
//
// Strings are 8-bit byte strings (std::string) and are never converted. The text
// helpers are 1-based where the system's algorithms count from 1, and they clamp
// out-of-range positions instead of failing. Case mapping is ASCII only.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace core {

// Base of every named exception of the system. "The general exception class" is
// std::exception; the system's own classes derive from Exception.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const char* what() const noexcept override { return FMessage.c_str(); }
  const std::string& Message() const { return FMessage; }
  virtual std::string ClassName() const { return "Exception"; }

 private:
  std::string FMessage;
};

// Declares an exception class that inherits its base's constructors; Base may be
// qualified (core::Exception).
#define TL_DECLARE_EXCEPTION(Name, Base)                     \
  class Name : public Base {                                 \
    using BaseType = Base;                                   \
                                                             \
   public:                                                   \
    using BaseType::BaseType;                                \
    std::string ClassName() const override { return #Name; } \
  }

TL_DECLARE_EXCEPTION(ECoreException, Exception);
TL_DECLARE_EXCEPTION(EConvertError, Exception);
TL_DECLARE_EXCEPTION(EStreamError, Exception);
TL_DECLARE_EXCEPTION(EFCreateError, EStreamError);
TL_DECLARE_EXCEPTION(EFOpenError, EStreamError);

// The message of any exception: Exception::Message, else what().
std::string ExceptionMessage(const std::exception& e);
// The class name of any exception: Exception::ClassName, else "Exception".
std::string ExceptionClassName(const std::exception& e);

// --- text helpers (ASCII, byte strings) ---
char UpCaseChar(char c);
char LowCaseChar(char c);
std::string LowerCase(std::string_view s);
std::string UpperCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);         // equal ignoring ASCII case
bool StartsText(std::string_view prefix, std::string_view s);  // prefix, ignoring ASCII case
// Trim removes characters <= ' ' at both ends (the classic rule); TrimLeft/TrimRight one end.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

// 1-based substring: Count characters from Index. Index < 1 counts from 1; anything
// past the end is cut. Never throws.
std::string Copy(std::string_view s, int64_t index, int64_t count);
// 1-based position of the first occurrence of sub in s, 0 when absent (or sub empty).
int64_t Pos(std::string_view sub, std::string_view s);
// 1-based position of the first occurrence at or after `from`, 0 when absent.
int64_t PosEx(std::string_view sub, std::string_view s, int64_t from);
// The last occurrence, 0 when absent.
int64_t LastPos(std::string_view sub, std::string_view s);

// Decimal text of a number.
std::string IntToStr(int64_t v);
std::string UIntToStr(uint64_t v);
// Strict conversion: optional sign, decimal digits only, no blanks, no overflow.
std::optional<int64_t> TryStrToInt64(std::string_view s);
std::optional<int32_t> TryStrToInt(std::string_view s);
// As the classic StrToInt: raises EConvertError "'<s>' is not a valid integer value".
int32_t StrToInt(std::string_view s);
// Upper-case hexadecimal with at least `digits` digits.
std::string IntToHex(uint64_t v, int digits);

}  // namespace core
