// The compression codings: gzip (and its old name x-gzip), deflate, br and zstd,
// each a streaming decoder over Debian's zlib, brotli or zstd library.
//
// Every decoder takes its input split anywhere, writes what it decodes in pieces
// of at most kDecodeBufferSize bytes, and is held to the output limit the handler
// gives it (THttpContentCoding::SetOutputLimit). Input it cannot decode raises
// EHttpContentCodingException ("Corrupt <coding> content..."), and so does a
// Complete while a stream is unfinished ("Truncated <coding> content"). A body
// with no bytes at all decodes to nothing: servers mark empty answers as coded.
#pragma once

#include <cstddef>

#include "http/HttpContCod.h"

namespace http {

const THttpContentCodingClass& GzipCodingClass();
const THttpContentCodingClass& XGzipCodingClass();
const THttpContentCodingClass& DeflateCodingClass();
const THttpContentCodingClass& BrotliCodingClass();
const THttpContentCodingClass& ZstdCodingClass();

// Registers the codings above, in that order: all with quality 1 except x-gzip
// (quality 0: decoded when it comes, never asked for, as browsers do), so the
// plain Accept-Encoding value reads "gzip, deflate, br, zstd".
void RegisterCompressionCodings(TContCodingsList& codings);

inline constexpr size_t kDecodeBufferSize = 64 * 1024;

// What a decoder raises.
[[noreturn]] void FailCorrupt(const std::string& coding, const std::string& detail);
[[noreturn]] void FailTruncated(const std::string& coding);

}  // namespace http
