// SPDX-License-Identifier: MIT
// The figures: key=value lines on stdout, and the one-line summary on stderr.
#include "report.h"

#include "loadgen.h"

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace loadgen {

void Report::put(const std::string &k, double v, int prec)
{
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", prec, v);
    put(k, std::string(b));
}

std::string Report::get(const std::string &k) const
{
    for (const auto &[kk, v] : out_)
        if (kk == k)
            return v;
    return "-";
}

void Report::print(const std::string &keyPrefix) const
{
    for (const auto &[k, v] : out_)
        std::printf("%s%s=%s\n", keyPrefix.c_str(), k.c_str(), v.c_str());
    std::fflush(stdout);
}

double percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    size_t rank = size_t(std::ceil(p * double(samples.size())));
    rank = std::clamp<size_t>(rank, 1, samples.size());
    return samples[rank - 1];
}

void LoadGen::putHubRss(const char *key)
{
    const HubSample s = readHub(opt_.hubPid);
    if (s.ok)
        report_.putI(key, s.rssKb);
}

void LoadGen::putCounts()
{
    report_.putI("lines_sent", sent_);
    report_.putI("deliveries", deliveries_);
    report_.putI("err_cut", err_.cut);
    report_.putI("err_altered", err_.altered);
    report_.putI("err_out_of_order", err_.outOfOrder);
    report_.putI("err_lost", err_.lost);
    report_.putI("err_duplicate", err_.duplicate);
    report_.putI("err_echo_lost", err_.echoLost);
    report_.putI("err_closed", err_.closed);
    report_.putI("err_registration", err_.registration);
    long other = 0;
    for (const auto &c : clients_)
        other += c.other;
    report_.putI("other_messages", other);
}

// The load generator's own CPU time, and the length of the whole run from t0.
void LoadGen::putOwnCost(int64_t t0)
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    report_.put("loadgen_cpu_s", double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec)
                    + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6, 3);
    report_.put("run_seconds", double(bench::nowNs() - t0) / 1e9, 3);
}

void LoadGen::printSummary(bool pass) const
{
    auto get = [&](const char *k) { return report_.get(k); };
    std::fprintf(stderr,
                 "%s N=%d: fan-out p50 %s us, p99 %s us, max %s us | %s lines/s, %s deliveries/s"
                 " | hub CPU %s ms per 1000 deliveries | hub RSS start %s kB, after %s kB,"
                 " after %s lines %s kB | errors: cut %ld altered %ld order %ld lost %ld dup %ld"
                 " echo %ld closed %ld reg %ld => %s\n",
                 modeName(opt_.mode), opt_.clients, get("lat_p50_us").c_str(),
                 get("lat_p99_us").c_str(), get("lat_max_us").c_str(),
                 get("tp_lines_per_s").c_str(), get("tp_deliveries_per_s").c_str(),
                 get("tp_hub_cpu_ms_per_1k_deliveries").c_str(), get("hub_rss_start_kb").c_str(),
                 get("hub_rss_after_kb").c_str(), std::to_string(sent_).c_str(),
                 get("hub_rss_total_kb").c_str(), err_.cut, err_.altered, err_.outOfOrder,
                 err_.lost, err_.duplicate, err_.echoLost, err_.closed, err_.registration,
                 pass ? "PASS" : "FAIL");
}

}  // namespace loadgen
