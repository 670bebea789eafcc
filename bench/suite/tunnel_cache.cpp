// Figure 4: the process-wide tunnel cache (TppmUrlMapInfo): a hit, an add and a remove, from one thread
// and from two at once. The baseline does what the operation must do at the least (derive host:port
// from the URL, lock, touch a std::map) without its log lines: the add and remove each write a level -1
// line, one file append apiece.
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "clocks.h"
#include "figures.h"
#include "kylibcurl.h"
#include "rounds.h"

namespace kybench {
namespace {

constexpr int kKeysPerThread = 1000;

enum class Op { Hit, Add, Remove };

class PlainCache {
  public:
    void Get(std::string_view url, std::string& value) {
        std::string key = Key(url);
        std::lock_guard<std::mutex> lock(m_mutex);
        auto entry = m_map.find(key);
        if (entry != m_map.end()) value = entry->second;
    }
    void Add(std::string_view url, const std::string& value) {
        std::string key = Key(url);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_map[key] = value;
    }
    void Remove(std::string_view url) {
        std::string key = Key(url);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_map.erase(key);
    }

  private:
    static std::string Key(std::string_view url) {
        size_t host = url.find("://") + 3;
        size_t path = url.find('/', host);
        std::string key(url.substr(host, path == std::string_view::npos ? url.npos : path - host));
        if (key.find(':') == std::string::npos) key += ":80";
        return key;
    }

    std::mutex m_mutex;
    std::map<std::string, std::string> m_map;
};

std::vector<std::string> Urls(int thread) {
    std::vector<std::string> urls;
    for (int i = 0; i < kKeysPerThread; ++i)
        urls.push_back("http://t" + std::to_string(thread) + "-server" + std::to_string(i) +
                       ".kybench.example:8080/api/items?id=" + std::to_string(i));
    return urls;
}

const std::string kPrefix = "http://127.0.0.1:40000";

struct LibraryCache {
    KYLibCurl session;
    void Run(Op op, const std::string& url) {
        std::string value = kPrefix;
        switch (op) {
            case Op::Hit:
                session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_GET);
                break;
            case Op::Add:
                session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_ADD);
                break;
            case Op::Remove:
                session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_REMOVE);
                break;
        }
    }
};

struct BaselineCache {
    PlainCache cache;
    void Run(Op op, const std::string& url) {
        std::string value = kPrefix;
        switch (op) {
            case Op::Hit:
                cache.Get(url, value);
                break;
            case Op::Add:
                cache.Add(url, value);
                break;
            case Op::Remove:
                cache.Remove(url);
                break;
        }
    }
};

// Nanoseconds per operation in one thread: the keys are put in place first for hits and removes, and
// taken out afterwards for adds, outside the clock.
template <class Cache>
double TimeOps(Cache& cache, Op op, const std::vector<std::string>& urls, std::atomic<int>& start) {
    if (op != Op::Add)
        for (const auto& url : urls) cache.Run(Op::Add, url);
    while (start.load() == 0) {
    }
    int64_t begin = WallNs();
    for (const auto& url : urls) cache.Run(op, url);
    int64_t elapsed = WallNs() - begin;
    if (op != Op::Remove)
        for (const auto& url : urls) cache.Run(Op::Remove, url);
    return static_cast<double>(elapsed) / static_cast<double>(urls.size());
}

// The mean over threads of each thread's nanoseconds per operation, all threads working at once.
template <class Cache>
Measurement OpsInThreads(Cache& cache, Op op, const std::vector<std::vector<std::string>>& urls) {
    return [&cache, op, &urls] {
        std::atomic<int> start{0};
        std::vector<double> perThread(urls.size());
        std::vector<std::thread> threads;
        for (size_t t = 0; t < urls.size(); ++t)
            threads.emplace_back([&, t] { perThread[t] = TimeOps(cache, op, urls[t], start); });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        start = 1;
        for (auto& thread : threads) thread.join();
        double sum = 0;
        for (double value : perThread) sum += value;
        return sum / static_cast<double>(perThread.size());
    };
}

const char* OpName(Op op) {
    switch (op) {
        case Op::Hit:
            return "hit";
        case Op::Add:
            return "add";
        case Op::Remove:
            return "remove";
    }
    return "";
}

}  // namespace

void RunTunnelCache(const SuiteOptions& options, Report& report) {
    report.Section("4. Tunnel cache operations (TppmUrlMapInfo), ns per operation in each thread");
    fprintf(stderr, "kybench: tunnel cache\n");
    LibraryCache library;
    BaselineCache baseline;
    for (int threads : {1, 2}) {
        std::vector<std::vector<std::string>> urls;
        for (int t = 0; t < threads; ++t) urls.push_back(Urls(t));
        for (Op op : {Op::Hit, Op::Add, Op::Remove}) {
            auto ns = RotateRounds(options.Rounds(21),
                                   {OpsInThreads(library, op, urls), OpsInThreads(baseline, op, urls)});
            std::string figure = std::string("cache ") + OpName(op) + ", " + std::to_string(threads) +
                                 (threads == 1 ? " thread" : " threads");
            report.Add({figure,
                        Nanos(Median(ns[0])),
                        "map+mutex, no log " + Nanos(Median(ns[1])),
                        MedianRatio(ns[0], ns[1]),
                        {}});
        }
    }
}

}  // namespace kybench
