#include "http/HttpContCod.h"

#include <charconv>
#include <cmath>

#include "core/SysUtils.h"
#include "http/HttpCCodecs.h"
#include "http/HttpException.h"

namespace http {

// --- decoders ---

void THttpContentCoding::WriteDecoded(const char* buffer, int64_t count) {
  if (count > FOutputLimit - FOutputCount)
    throw EHttpContentCodingException("Decoded content larger than " + std::to_string(FOutputLimit) +
                                      " bytes");
  FOutputCount += count;
  WriteOutput(buffer, count);
}

// --- coding classes ---

THttpContentCodingClass::THttpContentCodingClass(std::string className, TFactory factory,
                                                 std::optional<std::string> coding, bool active)
    : FClassName(std::move(className)),
      FFactory(std::move(factory)),
      FCoding(std::move(coding)),
      FActive(active) {}

std::string THttpContentCodingClass::GetCoding() const {
  static constexpr std::string_view kPrefix = "THttpContentCoding";
  if (FCoding) return *FCoding;
  if (FClassName.compare(0, kPrefix.size(), kPrefix) == 0) return FClassName.substr(kPrefix.size());
  throw EHttpContentCodingException("GetCoding must be overriden in " + FClassName);
}

const THttpContentCodingClass& THttpCCodIdentity::ClassRef() {
  static const THttpContentCodingClass kClass =
      MakeCodingClass<THttpCCodIdentity>("THttpCCodIdentity", "identity");
  return kClass;
}

const THttpContentCodingClass& THttpCCodStar::ClassRef() {
  static const THttpContentCodingClass kClass = MakeCodingClass<THttpCCodStar>("THttpCCodStar", "*");
  return kClass;
}

// --- registry ---

TContCodingsList::TContCodingsList() {
  RegisterCoding(THttpCCodIdentity::ClassRef(), 0);
  RegisterCoding(THttpCCodStar::ClassRef(), 0);
}

void TContCodingsList::RegisterCoding(const THttpContentCodingClass& codingType, float quality) {
  codingType.GetCoding();  // a class that cannot name itself fails here, not in every request
  std::lock_guard<std::mutex> lock(FLock);
  FEntries.push_back({&codingType, quality});
}

std::vector<TContCodingsList::TEntry> TContCodingsList::Entries() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FEntries;
}

const THttpContentCodingClass* TContCodingsList::FindCoding(const std::string& name) const {
  std::lock_guard<std::mutex> lock(FLock);
  for (auto it = FEntries.rbegin(); it != FEntries.rend(); ++it) {
    if (core::SameText(it->CodingType->GetCoding(), name)) return it->CodingType;
  }
  return nullptr;
}

TContCodingsList& ContCodings() {
  // Never freed: handlers of clients with static storage may outlive any
  // destruction order we could pick.
  static TContCodingsList* const list = [] {
    auto* codings = new TContCodingsList;
    RegisterCompressionCodings(*codings);
    return codings;
  }();
  return *list;
}

// --- quality text ---

namespace {

// Rounds the decimal text of a non-negative number half away from zero to
// three decimals and drops trailing zeros.
std::string RoundDecimals(std::string intPart, std::string frac) {
  bool carry = frac.size() > 3 && frac[3] >= '5';
  if (frac.size() > 3) frac.resize(3);
  for (auto it = frac.rbegin(); carry && it != frac.rend(); ++it) {
    carry = *it == '9';
    *it = carry ? '0' : static_cast<char>(*it + 1);
  }
  for (auto it = intPart.rbegin(); carry && it != intPart.rend(); ++it) {
    carry = *it == '9';
    *it = carry ? '0' : static_cast<char>(*it + 1);
  }
  if (carry) intPart.insert(intPart.begin(), '1');
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  return frac.empty() ? intPart : intPart + "." + frac;
}

}  // namespace

std::string FormatQuality(float quality) {
  if (!std::isfinite(quality)) return "0";
  // The shortest text that reads back as the same float is the value that was
  // meant (0.1f, not 0.100000001); std::to_chars ignores the locale.
  char buf[128];
  const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(quality), std::chars_format::fixed);
  const std::string text(buf, res.ptr);
  const size_t point = text.find('.');
  const std::string rounded =
      point == std::string::npos ? text : RoundDecimals(text.substr(0, point), text.substr(point + 1));
  return (quality < 0 && rounded != "0") ? "-" + rounded : rounded;
}

// --- name splitting ---

namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

void SkipBlanks(const std::string& s, size_t& i) {
  while (i < s.size() && IsBlank(s[i])) ++i;
}

// A quoted name starting at the quote at i; i ends after the closing quote, or at
// the end of the text when there is none.
std::string QuotedName(const std::string& s, size_t& i) {
  std::string name;
  ++i;
  while (i < s.size()) {
    if (s[i] == '"') {
      if (i + 1 < s.size() && s[i + 1] == '"') {
        name += '"';
        i += 2;
        continue;
      }
      ++i;
      break;
    }
    name += s[i++];
  }
  return name;
}

std::string PlainName(const std::string& s, size_t& i) {
  const size_t start = i;
  while (i < s.size() && !IsBlank(s[i]) && s[i] != ',') ++i;
  return s.substr(start, i - start);
}

}  // namespace

std::vector<std::string> SplitCodingNames(const std::string& value) {
  std::vector<std::string> names;
  size_t i = 0;
  SkipBlanks(value, i);
  while (i < value.size()) {
    names.push_back(value[i] == '"' ? QuotedName(value, i) : PlainName(value, i));
    SkipBlanks(value, i);
    if (i < value.size() && value[i] == ',') {
      if (i + 1 == value.size()) names.emplace_back();  // a final comma ends an empty name
      ++i;
      SkipBlanks(value, i);
    }
  }
  return names;
}

// --- handler ---

THttpContCodHandler::THttpContCodHandler(TStreamGetter targetStream, TWriteProc decoderOutput,
                                         const TContCodingsList& codings)
    : FCodings(codings), FTargetStream(std::move(targetStream)), FDecoderOutput(std::move(decoderOutput)) {
  for (const auto& entry : FCodings.Entries()) {
    FCodingSettings.push_back(std::make_unique<THttpContCodItem>(entry.CodingType, entry.Quality));
  }
  FDecoderInput = FinalWriteProc();
}

THttpContCodHandler::~THttpContCodHandler() = default;

void THttpContCodHandler::SetUseQuality(bool value) {
  if (value == FQualityOn) return;
  FQualityOn = value;
  FAcceptTextStale = true;
}

void THttpContCodHandler::SetItemEnabled(int64_t index, bool value) {
  FCodingSettings.at(static_cast<size_t>(index))->FIsEnabled = value;
  FAcceptTextStale = true;
}

void THttpContCodHandler::SetItemQuality(int64_t index, float value) {
  FCodingSettings.at(static_cast<size_t>(index))->FQuality = value;
  FAcceptTextStale = true;
}

std::string THttpContCodHandler::GetHeaderText() {
  if (!FIsEnabled) return {};
  if (!FAcceptTextStale) return FAcceptText;

  int64_t enabledCount = 0;
  for (const auto& item : FCodingSettings) enabledCount += item->Enabled() ? 1 : 0;
  // One accepted coding needs no weight; none at all changes nothing either way.
  const bool withQuality = FQualityOn && enabledCount != 1;

  std::string text;
  for (const auto& item : FCodingSettings) {
    if (!item->Enabled()) continue;
    if (withQuality) {
      if (!text.empty()) text += ", ";
      text += item->GetCoding() + ";q=" + FormatQuality(item->Quality());
    } else if (item->Quality() > 0) {
      if (!text.empty()) text += ", ";
      text += item->GetCoding();
    }
  }
  FAcceptText = text;
  FAcceptTextStale = false;
  return FAcceptText;
}

bool THttpContCodHandler::Prepare(const std::string& contentEncoding) {
  ClearCodings();
  if (!FIsEnabled || contentEncoding.empty()) return true;

  const std::vector<std::string> names = SplitCodingNames(contentEncoding);
  if (names.size() > kMaxCodings) return RefuseCodings();
  for (const auto& name : names) {
    const THttpContentCodingClass* codingType = FCodings.FindCoding(name);
    if (!codingType) return RefuseCodings();
    FCodingEntries.push_back(codingType->Create(FDecoderInput));
    THttpContentCoding* decoder = FCodingEntries.back().get();
    decoder->SetOutputLimit(FMaxDecodedSize);
    // The coding listed last was applied last, so it is decoded first.
    FDecoderInput = [decoder](const char* buffer, int64_t count) { decoder->DecodeBytes(buffer, count); };
  }
  return true;
}

bool THttpContCodHandler::RefuseCodings() {
  ClearCodings();
  return false;
}

void THttpContCodHandler::Complete() {
  for (auto it = FCodingEntries.rbegin(); it != FCodingEntries.rend(); ++it) (*it)->Complete();
}

void THttpContCodHandler::ClearCodings() {
  // The input must not point at a decoder we are about to free.
  FDecoderInput = FinalWriteProc();
  FCodingEntries.clear();
}

TWriteProc THttpContCodHandler::FinalWriteProc() {
  return [this](const char* buffer, int64_t count) { FinalWrite(buffer, count); };
}

void THttpContCodHandler::FinalWrite(const char* buffer, int64_t count) {
  if (core::TStream* stream = FTargetStream ? FTargetStream() : nullptr) stream->WriteBuffer(buffer, count);
  if (FDecoderOutput) FDecoderOutput(buffer, count);
}

}  // namespace http
