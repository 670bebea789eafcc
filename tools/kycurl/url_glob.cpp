#include "url_glob.h"

#include <curl/curl.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kycurl {

namespace {

// curl refuses more combinations than this: the expansion would not end.
constexpr unsigned long kMaxMatches = 100000;

// One piece of a pattern: a fixed text is a set of one.
struct Piece {
    std::vector<std::string> values;
    int glob = -1;  // the glob's number, -1 for fixed text
};

class GlobParser {
  public:
    explicit GlobParser(const std::string& pattern) : m_p(pattern) {}

    bool Parse(std::vector<Piece>& pieces, std::string& error) {
        while (m_i < m_p.size()) {
            Piece piece;
            bool ok = true;
            if (m_p[m_i] == '{') {
                ++m_i;
                ok = Set(piece);
            } else if (m_p[m_i] == '[' && !IsLiteralBracket()) {
                ++m_i;
                ok = Range(piece);
            } else {
                ok = Fixed(piece);
            }
            if (!ok) {
                error = m_error + " in URL position " + std::to_string(m_i + 1);
                return false;
            }
            if (piece.glob == -2) piece.glob = m_globs++;
            pieces.push_back(std::move(piece));
        }
        return true;
    }

  private:
    bool Fail(const char* what) {
        m_error = what;
        return false;
    }

    // "[]" and an IPv6 address ("[::1]") are part of the URL, not a range.
    bool IsLiteralBracket() const {
        if (m_p.compare(m_i, 2, "[]") == 0) return true;
        size_t close = m_p.find(']', m_i);
        if (close == std::string::npos) return false;
        std::string host = m_p.substr(m_i, close - m_i + 1);
        CURLU* url = curl_url();
        bool parsed = url && curl_url_set(url, CURLUPART_URL, host.c_str(), CURLU_GUESS_SCHEME) == CURLUE_OK;
        curl_url_cleanup(url);
        return parsed;
    }

    size_t LiteralBracketLength() const {
        return m_p.compare(m_i, 2, "[]") == 0 ? 2 : m_p.find(']', m_i) - m_i + 1;
    }

    bool Fixed(Piece& piece) {
        std::string text;
        while (m_i < m_p.size() && m_p[m_i] != '{') {
            char c = m_p[m_i];
            if (c == '[') {
                if (!IsLiteralBracket()) break;
                size_t length = LiteralBracketLength();
                text += m_p.substr(m_i, length);
                m_i += length;
                continue;
            }
            if (c == '}' || c == ']') return Fail("unmatched close brace/bracket");
            // Only the glob letters are escaped.
            if (c == '\\' && m_i + 1 < m_p.size() && strchr("{}[]", m_p[m_i + 1])) ++m_i;
            text += m_p[m_i++];
        }
        piece.values.push_back(text);
        return true;
    }

    bool Set(Piece& piece) {
        std::string element;
        size_t start = m_i;
        while (true) {
            if (m_i >= m_p.size()) return Fail("unmatched brace");
            char c = m_p[m_i];
            if (c == '{' || c == '[') return Fail("nested brace");
            if (c == ']') return Fail("unexpected close bracket");
            if (c == '}' && m_i == start) return Fail("empty string within braces");
            if (c == ',' || c == '}') {
                piece.values.push_back(element);
                element.clear();
                ++m_i;
                if (c == '}') break;
                continue;
            }
            if (c == '\\' && m_i + 1 < m_p.size()) ++m_i;
            element += m_p[m_i++];
        }
        piece.glob = -2;
        return true;
    }

    bool Range(Piece& piece) {
        if (m_i < m_p.size() && isalpha(static_cast<unsigned char>(m_p[m_i]))) return LetterRange(piece);
        if (m_i < m_p.size() && isdigit(static_cast<unsigned char>(m_p[m_i]))) return NumberRange(piece);
        return Fail("bad range: a number or a letter must open it");
    }

    // ":N" then ']' after the range; 1 without a step.
    bool Step(unsigned long& step) {
        step = 1;
        if (m_i < m_p.size() && m_p[m_i] == ':') {
            const char* begin = m_p.c_str() + m_i + 1;
            char* end = nullptr;
            errno = 0;
            step = strtoul(begin, &end, 10);
            if (errno || end == begin) return false;
            m_i = static_cast<size_t>(end - m_p.c_str());
        }
        if (m_i >= m_p.size() || m_p[m_i] != ']') return false;
        ++m_i;
        return step > 0 && step <= INT_MAX;
    }

    bool LetterRange(Piece& piece) {
        if (m_i + 3 > m_p.size() || m_p[m_i + 1] != '-') return Fail("bad range");
        const int low = static_cast<unsigned char>(m_p[m_i]);
        const int high = static_cast<unsigned char>(m_p[m_i + 2]);
        m_i += 3;
        unsigned long step = 1;
        if (!Step(step) || low > high || (low == high && step != 1) ||
            (low != high && (step > static_cast<unsigned long>(high - low) || high - low > 'z' - 'a')))
            return Fail("bad range");
        for (int c = low; c <= high; c += static_cast<int>(step))
            piece.values.emplace_back(1, static_cast<char>(c));
        piece.glob = -2;
        return true;
    }

    bool NumberRange(Piece& piece) {
        size_t digits = 0;
        if (m_p[m_i] == '0') {
            while (m_i + digits < m_p.size() && isdigit(static_cast<unsigned char>(m_p[m_i + digits])))
                ++digits;
        }
        const char* begin = m_p.c_str() + m_i;
        char* end = nullptr;
        errno = 0;
        unsigned long low = strtoul(begin, &end, 10);
        if (errno || *end != '-') return Fail("bad range");
        const char* second = end + 1;
        while (*second == ' ' || *second == '\t') ++second;
        if (!isdigit(static_cast<unsigned char>(*second))) return Fail("bad range");
        errno = 0;
        unsigned long high = strtoul(second, &end, 10);
        if (errno) return Fail("bad range");
        m_i = static_cast<size_t>(end - m_p.c_str());
        unsigned long step = 1;
        if (!Step(step) || low > high || (low == high && step != 1) || (low != high && step > high - low))
            return Fail("bad range");
        if ((high - low) / step >= kMaxMatches) return Fail("range overflow");
        for (unsigned long n = low; n <= high; n += step) {
            char text[32];
            snprintf(text, sizeof text, "%0*lu", static_cast<int>(digits), n);
            piece.values.push_back(text);
            if (high - n < step) break;
        }
        piece.glob = -2;
        return true;
    }

    const std::string& m_p;
    size_t m_i = 0;
    int m_globs = 0;
    std::string m_error;
};

bool HasGlobLetter(const std::string& text) { return text.find_first_of("{[") != std::string::npos; }

}  // namespace

bool ExpandGlob(const std::string& pattern, std::vector<GlobMatch>& matches, std::string& error) {
    std::vector<Piece> pieces;
    if (!GlobParser(pattern).Parse(pieces, error)) return false;
    unsigned long total = 1;
    for (const Piece& piece : pieces) {
        total *= piece.values.size();
        if (total > kMaxMatches) {
            error = "range overflow";
            return false;
        }
    }
    matches.clear();
    std::vector<size_t> at(pieces.size(), 0);
    for (unsigned long n = 0; n < total; ++n) {
        GlobMatch match;
        match.pieces = pieces.size();
        for (size_t i = 0; i < pieces.size(); ++i) {
            match.text += pieces[i].values[at[i]];
            if (pieces[i].glob >= 0) match.values.push_back(pieces[i].values[at[i]]);
        }
        matches.push_back(std::move(match));
        // The last piece changes fastest.
        for (size_t i = pieces.size(); i-- > 0;) {
            if (++at[i] < pieces[i].values.size()) break;
            at[i] = 0;
        }
    }
    return true;
}

std::string FillOutputName(const std::string& name, const GlobMatch& match) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '#' || i + 1 >= name.size() || !isdigit(static_cast<unsigned char>(name[i + 1]))) {
            out += name[i];
            continue;
        }
        char* end = nullptr;
        unsigned long number = strtoul(name.c_str() + i + 1, &end, 10);
        // As curl: the number must be below the count of the pattern's pieces, fixed ones included.
        if (number == 0 || number >= match.pieces || number > match.values.size()) {
            out += name[i];
            continue;
        }
        out += match.values[number - 1];
        i = static_cast<size_t>(end - name.c_str()) - 1;
    }
    return out;
}

bool ExpandUrlGlobs(Options& o, std::string& error) {
    if (o.globOff) return true;
    bool any = false;
    for (const std::string& url : o.urls) any = any || HasGlobLetter(url);
    for (const std::string& upload : o.uploads) any = any || HasGlobLetter(upload);
    if (!any) return true;
    std::vector<std::string> urls;
    std::vector<OutputTarget> outputs;
    std::vector<std::string> uploads;
    o.urlNumbers.clear();
    for (size_t i = 0; i < o.urls.size(); ++i) {
        const std::string upload = i < o.uploads.size() ? o.uploads[i] : "";
        std::vector<GlobMatch> files{{upload, {}, 0}};
        if (!upload.empty() && !ExpandGlob(upload, files, error)) return false;
        std::vector<GlobMatch> matches;
        if (!ExpandGlob(o.urls[i], matches, error)) return false;
        const OutputTarget* target = i < o.outputs.size() ? &o.outputs[i] : nullptr;
        for (const GlobMatch& file : files) {
            for (size_t n = 0; n < matches.size(); ++n) {
                const GlobMatch& match = matches[n];
                o.urlNumbers.push_back(n);
                urls.push_back(match.text);
                uploads.push_back(file.text);
                if (!target) continue;
                outputs.push_back({target->remoteName, FillOutputName(target->path, match)});
            }
        }
    }
    o.urls = std::move(urls);
    o.outputs = std::move(outputs);
    // A URL without a -T of its own stays without one.
    bool anyUpload = false;
    for (const std::string& upload : uploads) anyUpload = anyUpload || !upload.empty();
    o.uploads = anyUpload ? std::move(uploads) : std::vector<std::string>();
    return true;
}

}  // namespace kycurl
