#include "diag/body_credentials.h"

#include <cstring>

#include "diag/credential_words.h"
#include "diag/log_text.h"

namespace kylibcurl::detail {

namespace {

void AddValue(BodyCredentials& found, const char* value, size_t length) {
    if (length == 0) return;
    if (length > kLogTextLimit || found.values.size() >= kMaxSecrets) {
        found.valuesKnown = false;
        return;
    }
    found.values.emplace_back(value, length);
    std::string decoded = PercentDecoded(value, length, true);
    if (decoded != found.values.back()) found.values.push_back(std::move(decoded));
}

// One "name=value" field of a form.
void ReadField(BodyCredentials& found, const char* field, size_t length) {
    const char* equals = static_cast<const char*>(std::memchr(field, '=', length));
    const size_t nameLength = equals ? static_cast<size_t>(equals - field) : length;
    const bool named = HoldsCredentialWord(field, nameLength);
    if (!equals) {
        if (named) found.valuesKnown = false;
        return;
    }
    const char* value = equals + 1;
    const size_t valueLength = length - nameLength - 1;
    if (named) {
        AddValue(found, value, valueLength);
    } else if (HoldsCredentialWord(value, valueLength)) {
        found.valuesKnown = false;  // a credential inside a value: where it ends is unknown
    }
}

}  // namespace

BodyCredentials FindBodyCredentials(const char* body, size_t length) {
    BodyCredentials found;
    found.carries = HoldsCredentialWord(body, length);
    if (!found.carries) return found;

    const char* end = body + length;
    for (const char* field = body; field <= end;) {
        const char* amp = static_cast<const char*>(std::memchr(field, '&', static_cast<size_t>(end - field)));
        const char* fieldEnd = amp ? amp : end;
        ReadField(found, field, static_cast<size_t>(fieldEnd - field));
        if (!amp) break;
        field = amp + 1;
    }
    return found;
}

}  // namespace kylibcurl::detail
