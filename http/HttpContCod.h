// Content codings: the process-wide registry of coding classes, the decoder
// objects, and the per-client handler that announces the accepted codings
// ("Accept-Encoding") and decodes a body whose "content-encoding" names them.
//
// A coding class is described by a THttpContentCodingClass (its name, whether it
// is active, its coding name and a factory), which plays the part of a class
// reference: the registry and the handler keep pointers to these descriptions, so
// a description must outlive every registry it is registered in (give it static
// storage). The global registry is created on first use with "identity" and then
// "*", both with quality 0, then the compression codings, and lives until the
// program ends; register further codings at start-up, before clients are made (a
// handler sees the codings registered when it was created). The registry is
// guarded by a lock; a handler and its decoders belong to one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/Classes.h"

namespace http {

// A write procedure: receives count bytes at buffer.
using TWriteProc = std::function<void(const char* buffer, int64_t count)>;

// Abstract base of all codings. A decoder passes what it decodes to the write
// procedure it was created with.
class THttpContentCoding {
 public:
  explicit THttpContentCoding(TWriteProc writeProc) : FWriteProc(std::move(writeProc)) {}
  virtual ~THttpContentCoding() = default;
  THttpContentCoding(const THttpContentCoding&) = delete;
  THttpContentCoding& operator=(const THttpContentCoding&) = delete;

  // Flushes what is still held back at the end of the document. A decoder whose
  // input ended inside its stream raises EHttpContentCodingException.
  virtual void Complete() {}
  // Decodes count input bytes and writes the result to the output. A decoder
  // raises EHttpContentCodingException for input it cannot decode.
  virtual void DecodeBytes(const char* buffer, int64_t count) = 0;

  // The most bytes a decompressing decoder writes for one document.
  int64_t OutputLimit() const { return FOutputLimit; }
  void SetOutputLimit(int64_t value) { FOutputLimit = value; }

 protected:
  void WriteOutput(const char* buffer, int64_t count) {
    if (FWriteProc) FWriteProc(buffer, count);
  }
  // WriteOutput for expanded bytes: a few kilobytes of input may stand for
  // gigabytes, so past the limit decoding fails instead of filling the memory.
  void WriteDecoded(const char* buffer, int64_t count);

 private:
  TWriteProc FWriteProc;
  int64_t FOutputLimit = INT64_MAX;
  int64_t FOutputCount = 0;
};

// What is known of a coding class without an object of it.
class THttpContentCodingClass {
 public:
  using TFactory = std::function<std::unique_ptr<THttpContentCoding>(TWriteProc)>;

  // coding: the name the class answers; when absent, a class name beginning with
  // "THttpContentCoding" answers the rest of its name.
  THttpContentCodingClass(std::string className, TFactory factory, std::optional<std::string> coding = {},
                          bool active = true);

  const std::string& ClassName() const { return FClassName; }
  bool GetActive() const { return FActive; }
  // Raises EHttpContentCodingException "GetCoding must be overriden in <class>"
  // when the class neither names its coding nor follows the naming rule.
  std::string GetCoding() const;
  std::unique_ptr<THttpContentCoding> Create(TWriteProc writeProc) const {
    return FFactory(std::move(writeProc));
  }

 private:
  std::string FClassName;
  TFactory FFactory;
  std::optional<std::string> FCoding;
  bool FActive;
};

// The description of coding class T, built with T's constructor as the factory.
template <class T>
THttpContentCodingClass MakeCodingClass(std::string className, std::optional<std::string> coding = {},
                                        bool active = true) {
  return THttpContentCodingClass(
      std::move(className), [](TWriteProc out) { return std::make_unique<T>(std::move(out)); },
      std::move(coding), active);
}

// "identity": passes its input to the output unchanged.
class THttpCCodIdentity : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
  static const THttpContentCodingClass& ClassRef();
  void DecodeBytes(const char* buffer, int64_t count) override { WriteOutput(buffer, count); }
};

// "*": passes its input to the output unchanged.
class THttpCCodStar : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
  static const THttpContentCodingClass& ClassRef();
  void DecodeBytes(const char* buffer, int64_t count) override { WriteOutput(buffer, count); }
};

// A registry of coding classes, each with a quality. Every list starts with
// "identity" and "*" (quality 0); tests may make private lists.
class TContCodingsList {
 public:
  struct TEntry {
    const THttpContentCodingClass* CodingType;
    float Quality;
  };

  TContCodingsList();
  // Appends a coding class; a later registration of the same coding name wins.
  // Raises EHttpContentCodingException when the class cannot name its coding.
  void RegisterCoding(const THttpContentCodingClass& codingType, float quality);
  // The entries in registration order.
  std::vector<TEntry> Entries() const;
  // The class whose coding equals name ignoring case, searched from the last
  // registered entry to the first; nullptr when none.
  const THttpContentCodingClass* FindCoding(const std::string& name) const;

 private:
  mutable std::mutex FLock;
  std::vector<TEntry> FEntries;
};

// The process-wide registry, created on first use with the built-ins followed by
// the compression codings (RegisterCompressionCodings).
TContCodingsList& ContCodings();

// A quality in the form "0.###": at most three decimals rounded half away from
// zero, no trailing zeros, always a point whatever the locale ("0.5", "1", "0.125").
std::string FormatQuality(float quality);

// One registered coding as seen by one handler.
class THttpContCodItem {
 public:
  THttpContCodItem(const THttpContentCodingClass* codingType, float quality)
      : FCodingType(codingType), FQuality(quality) {}
  std::string GetCoding() const { return FCodingType->GetCoding(); }
  // Enabled here and active in its class.
  bool Enabled() const { return FIsEnabled && FCodingType->GetActive(); }
  float Quality() const { return FQuality; }

 private:
  friend class THttpContCodHandler;
  const THttpContentCodingClass* FCodingType;
  bool FIsEnabled = true;
  float FQuality;
};

// The content-coding side of one HTTP client.
//
// The client owns the handler. The handler owns its settings (one item per
// coding registered when it was made) and the decoder chain of the current
// document, which lives from Prepare to the next Prepare, ClearCodings or the
// handler's end. Body bytes go to DecoderInput(); decoded bytes are written to the
// stream that targetStream returns at that moment (the caller's, not owned; may
// be null) and then passed to decoderOutput. Prepare, ClearCodings and the
// destructor free the chain, so they must not run from inside a call to
// DecoderInput() (from decoderOutput, say): defer them to a posted message.
class THttpContCodHandler {
 public:
  using TStreamGetter = std::function<core::TStream*()>;

  THttpContCodHandler(TStreamGetter targetStream, TWriteProc decoderOutput,
                      const TContCodingsList& codings = ContCodings());
  ~THttpContCodHandler();
  THttpContCodHandler(const THttpContCodHandler&) = delete;
  THttpContCodHandler& operator=(const THttpContCodHandler&) = delete;

  bool Enabled() const { return FIsEnabled; }
  void SetEnabled(bool value) { FIsEnabled = value; }
  bool UseQuality() const { return FQualityOn; }
  void SetUseQuality(bool value);

  // The per-coding settings, in registration order. The setters rebuild the
  // Accept-Encoding value on its next use.
  int64_t Count() const { return static_cast<int64_t>(FCodingSettings.size()); }
  const THttpContCodItem& Items(int64_t index) const {
    return *FCodingSettings.at(static_cast<size_t>(index));
  }
  void SetItemEnabled(int64_t index, bool value);
  void SetItemQuality(int64_t index, float value);

  // The Accept-Encoding value; empty while disabled.
  std::string GetHeaderText();
  // Sets up the decoder chain for a document whose "content-encoding" field is
  // contentEncoding (empty when absent). False when it names a coding that is not
  // registered, or more than kMaxCodings codings: the body then passes undecoded.
  bool Prepare(const std::string& contentEncoding);
  // Where the body bytes of the current document go, in order.
  const TWriteProc& DecoderInput() const { return FDecoderInput; }
  // Flushes the chain, from its input end to its output end.
  void Complete();
  // Frees the decoder chain; body bytes then pass undecoded.
  void ClearCodings();
  // The decoders of the current document, in creation order (the output end first).
  const std::vector<std::unique_ptr<THttpContentCoding>>& CodingEntries() const { return FCodingEntries; }

  // The most decoded bytes one document may expand to (each decoder of the
  // chain is held to it); applies from the next Prepare.
  int64_t MaxDecodedSize() const { return FMaxDecodedSize; }
  void SetMaxDecodedSize(int64_t value) { FMaxDecodedSize = value; }

  // A longer chain is refused: no server needs it, and each link costs a copy.
  static constexpr size_t kMaxCodings = 5;
  static constexpr int64_t kDefaultMaxDecodedSize = int64_t{1} << 30;

 private:
  void FinalWrite(const char* buffer, int64_t count);
  TWriteProc FinalWriteProc();
  bool RefuseCodings();

  const TContCodingsList& FCodings;
  std::vector<std::unique_ptr<THttpContentCoding>> FCodingEntries;
  std::vector<std::unique_ptr<THttpContCodItem>> FCodingSettings;
  TStreamGetter FTargetStream;
  TWriteProc FDecoderInput;
  TWriteProc FDecoderOutput;
  std::string FAcceptText;
  bool FAcceptTextStale = true;
  bool FIsEnabled = false;
  bool FQualityOn = false;
  int64_t FMaxDecodedSize = kDefaultMaxDecodedSize;
};

// Splits a "content-encoding" value into coding names: names are separated by
// commas and by blanks or control characters; a comma that directly follows
// another comma, or ends the text, gives an empty name; a name in double quotes
// may hold separators (a doubled quote inside stands for one quote).
std::vector<std::string> SplitCodingNames(const std::string& value);

}  // namespace http
