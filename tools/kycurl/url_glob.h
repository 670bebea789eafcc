// curl's URL globbing: "{a,b}" sets and "[1-3]", "[01-10:2]", "[a-z]" ranges in a URL (and in a -T file
// name) make a URL of each combination, and "#N" in its -o name stands for the N-th glob's value.
#ifndef KYCURL_URL_GLOB_H
#define KYCURL_URL_GLOB_H

#include <string>
#include <vector>

#include "options.h"

namespace kycurl {

// One text a pattern stands for, and the value each of its globs had in it.
struct GlobMatch {
    std::string text;
    std::vector<std::string> values;  // by the glob's number, the first glob first
    size_t pieces = 0;                // the pattern's pieces, fixed ones included (curl counts "#N" by them)
};

// Every text the pattern stands for, the last glob changing fastest. False with curl's message in error
// ("bad range in URL position 12") when the pattern is not well formed.
bool ExpandGlob(const std::string& pattern, std::vector<GlobMatch>& matches, std::string& error);

// The -o name with each "#N" replaced by the N-th glob's value; a "#N" without one stays as it is.
std::string FillOutputName(const std::string& name, const GlobMatch& match);

// Without -g: each URL (and its -T file) made into the URLs it stands for, each with its own -T file and
// -o name, in the order curl sends them: every URL for the first file, then for the next. False with the
// message in error when a pattern is not well formed (exit 3, as curl).
bool ExpandUrlGlobs(Options& options, std::string& error);

}  // namespace kycurl

#endif
