#include "platform/foundation/Regex.h"

#include <unicode/uregex.h>
#include <unicode/ustring.h>

#include <vector>

namespace zeb {

struct Regex::Impl {
  std::string pattern;
  URegularExpression* compiled = nullptr;  // matched only through clones: ICU's matcher has state
  ~Impl() { uregex_close(compiled); }
};

namespace {

std::vector<UChar> toUTF16(std::string_view text) {
  std::vector<UChar> out(text.size() + 1);
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<std::size_t>(length));
  return out;
}

struct RegexCloseDeleter {
  void operator()(URegularExpression* r) const { uregex_close(r); }
};

}  // namespace

Result<Regex> Regex::compile(std::string_view pattern, bool caseInsensitive) {
  UParseError parseError{};
  UErrorCode status = U_ZERO_ERROR;
  std::vector<UChar> p = toUTF16(pattern);
  URegularExpression* re = uregex_open(p.data(), static_cast<int32_t>(p.size()),
                                       caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0, &parseError, &status);
  if (U_FAILURE(status) || !re) {
    uregex_close(re);
    // NSRegularExpression reports a bad pattern as NSCocoaErrorDomain 2048.
    Dictionary info;
    info.emplace(std::string(kLocalizedDescriptionKey),
                 Value("The value \u201c" + std::string(pattern) + "\u201d is invalid."));
    info.emplace("NSInvalidValue", Value(std::string(pattern)));
    info.emplace("ICUError", Value(std::string(u_errorName(status))));
    return Error(std::string(kCocoaErrorDomain), 2048, std::move(info));
  }
  auto impl = std::make_shared<Impl>();
  impl->pattern = std::string(pattern);
  impl->compiled = re;
  return Regex(std::move(impl));
}

std::size_t Regex::numberOfMatches(std::string_view text) const {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<URegularExpression, RegexCloseDeleter> re(uregex_clone(impl_->compiled, &status));
  if (U_FAILURE(status)) return 0;
  std::vector<UChar> t = toUTF16(text);
  uregex_setText(re.get(), t.data(), static_cast<int32_t>(t.size()), &status);
  if (U_FAILURE(status)) return 0;
  std::size_t count = 0;
  while (uregex_findNext(re.get(), &status) && U_SUCCESS(status)) ++count;
  return count;
}

const std::string& Regex::pattern() const { return impl_->pattern; }

}  // namespace zeb
