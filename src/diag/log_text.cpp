#include "diag/log_text.h"

#include <algorithm>
#include <cctype>

#include "platform/optional_call.h"

namespace kylibcurl::detail {

namespace {

void AppendCutMark(std::string& shown, size_t leftOut) {
    if (leftOut == 0) return;
    shown += "...[";
    shown += std::to_string(leftOut);
    shown += " more bytes]";
}

bool IsWordByte(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// A secret counts where it stands as a word of its own: "t" is the secret of "api_token=t", not the t of
// "status". An edge of the secret that is a letter or digit must not touch another one.
bool StandsAlone(const char* text, size_t length, size_t pos, const std::string& secret) {
    const size_t end = pos + secret.size();
    const bool gluedBefore = pos > 0 && IsWordByte(secret.front()) && IsWordByte(text[pos - 1]);
    const bool gluedAfter = end < length && IsWordByte(secret.back()) && IsWordByte(text[end]);
    return !gluedBefore && !gluedAfter;
}

// The secret that starts at text[pos] (whole, within length), or null.
const std::string* SecretAt(const char* text, size_t length, size_t pos,
                            const std::vector<const std::string*>& longestFirst) {
    for (const std::string* secret : longestFirst) {
        if (secret->size() <= length - pos &&
            secret->compare(0, secret->size(), text + pos, secret->size()) == 0 &&
            StandsAlone(text, length, pos, *secret))
            return secret;
    }
    return nullptr;
}

}  // namespace

std::string BoundedText(const char* text, size_t length) {
    if (!text) return std::string();
    const size_t shownLength = std::min(length, kLogTextLimit);
    std::string shown(text, shownLength);
    AppendCutMark(shown, length - shownLength);
    return shown;
}

std::string BoundedText(const std::string& text) { return BoundedText(text.data(), text.size()); }

std::string BoundedTextWithout(const char* text, size_t length, const std::vector<std::string>& secrets) {
    std::vector<const std::string*> longestFirst;
    for (const std::string& secret : secrets)
        if (!secret.empty()) longestFirst.push_back(&secret);
    if (!text || longestFirst.empty()) return BoundedText(text, length);
    std::stable_sort(longestFirst.begin(), longestFirst.end(),
                     [](const std::string* a, const std::string* b) { return a->size() > b->size(); });

    std::string shown;
    size_t pos = 0;
    while (pos < length && shown.size() < kLogTextLimit) {
        if (const std::string* secret = SecretAt(text, length, pos, longestFirst)) {
            shown += kHidden;
            pos += secret->size();
        } else {
            shown += text[pos++];
        }
    }
    AppendCutMark(shown, length - pos);
    return shown;
}

namespace {

using LevelQuery = int (*)();

// The logger's contract is DebugLvl, Debug and its constructor; a logger may also tell its threshold
// through a static EvDebug::Level(). It is looked up by name among the objects this library was loaded
// with (its own dependencies first, also when it was loaded on its own with dlopen), so that the library
// still loads beside a logger that has no such call.
LevelQuery FindLevelQuery() {
    return reinterpret_cast<LevelQuery>(
        FindCallBeside(reinterpret_cast<void*>(&FindLevelQuery), "_ZN7EvDebug5LevelEv"));
}

// Found while the library loads, before any thread of the caller's can log through it.
const LevelQuery g_levelQuery = FindLevelQuery();

}  // namespace

bool LoggerDropsLevel(int level) { return g_levelQuery && level > g_levelQuery(); }

}  // namespace kylibcurl::detail
