#include "url_job.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <filesystem>

#include "request_body.h"
#include "url_handle.h"

namespace kycurl {

namespace {

// Where the path of a URL starts (after "scheme://host"), or npos when it has none.
size_t PathStart(const std::string& url) {
    size_t scheme = url.find("://");
    return url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
}

std::string Take(char* text) {
    std::string taken = text ? text : "";
    curl_free(text);
    return taken;
}

// As curl -T: a URL whose path is empty or ends in '/' gets the file's name appended, escaped, and the URL
// is written out again by libcurl's URL parser, as curl does. A URL the parser refuses stays as it is, for
// the request to fail on.
std::string WithFileName(const std::string& url, const std::string& file) {
    UrlHandle parsed(curl_url());
    char* path = nullptr;
    if (!parsed ||
        curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(),
                     CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
        curl_url_get(parsed.get(), CURLUPART_PATH, &path, 0) != CURLUE_OK)
        return url;
    std::string newPath = Take(path);
    if (!newPath.empty() && newPath.back() != '/' && newPath.rfind('/') + 1 < newPath.size()) return url;
    std::string name = Take(curl_easy_escape(nullptr, std::filesystem::path(file).filename().c_str(), 0));
    newPath += (newPath.empty() || newPath.back() != '/' ? "/" : "") + name;
    char* joined = nullptr;
    if (curl_url_set(parsed.get(), CURLUPART_PATH, newPath.c_str(), 0) != CURLUE_OK ||
        curl_url_get(parsed.get(), CURLUPART_URL, &joined, CURLU_DEFAULT_SCHEME) != CURLUE_OK)
        return url;
    return Take(joined);
}

// As curl -O: the last segment of the path, without query or fragment.
std::string RemoteName(const std::string& url) {
    size_t path = PathStart(url);
    if (path == std::string::npos) return "";
    std::string part = url.substr(path, url.find_first_of("?#", path) - path);
    return std::filesystem::path(part).filename();
}

// The n-th -o/-O belongs to the n-th URL.
bool SetOutputPath(const Options& o, size_t index, UrlJob& job, std::string& error) {
    job.outputPath.clear();
    const OutputTarget target =
        index < o.outputs.size() ? o.outputs[index] : OutputTarget{o.remoteNameAll, ""};
    if (!target.remoteName) {
        job.outputPath = target.path == "-" ? "" : target.path;
    } else {
        job.outputPath = RemoteName(job.credentials.url);
        if (job.outputPath.empty()) {
            error = "Remote file name has no length: " + job.shownUrl;
            return false;
        }
    }
    job.remoteName = target.remoteName;
    if (!job.outputPath.empty() && !o.outputDir.empty() && job.outputPath[0] != '/')
        job.outputPath = o.outputDir + "/" + job.outputPath;
    return true;
}

// -C -: a download goes on after what its output file holds; an upload asks libcurl to learn the size
// the server has. A download resumed anywhere adds to its file.
void SetResumeOffset(const Options& o, UrlJob& job) {
    job.resumeFrom = o.resumeFrom;
    if (o.resumeFromCurrent && !job.upload.empty()) {
        job.resumeFrom = -1;
    } else if (o.resumeFromCurrent) {
        struct stat info {};
        job.resumeFrom =
            !job.outputPath.empty() && stat(job.outputPath.c_str(), &info) == 0 ? info.st_size : 0;
    }
    job.appendOutput = job.upload.empty() && job.resumeFrom > 0 && !job.outputPath.empty();
}

}  // namespace

bool MakeUrlJob(const Options& o, size_t index, const std::string& query, UrlJob& job, std::string& error) {
    const std::string& given = o.urls[index];
    job.shownUrl = RedactUrl(given);
    job.urlNumber = index < o.urlNumbers.size() ? o.urlNumbers[index] : 0;
    job.credentials = SplitCredentials(given);
    job.requestUrl = job.credentials.url;
    std::string extraQuery;
    if (!BuildData(o.urlQuery, extraQuery, error)) return false;
    if (!extraQuery.empty()) job.requestUrl = AppendQuery(job.requestUrl, extraQuery);
    if (o.dataAsQuery && !query.empty()) job.requestUrl = AppendQuery(job.requestUrl, query);
    job.upload = index < o.uploads.size() ? o.uploads[index] : "";
    if (!job.upload.empty() && job.upload != "-") job.requestUrl = WithFileName(job.requestUrl, job.upload);
    // As in curl, a URL without a -T of its own is no upload: it goes out as GET unless -X says otherwise.
    job.method = !o.methodGiven && !o.uploads.empty() && job.upload.empty() ? HTTP_REQ_GET : o.method;
    if (!SetOutputPath(o, index, job, error)) return false;
    SetResumeOffset(o, job);
    return true;
}

}  // namespace kycurl
