// SPDX-License-Identifier: MIT
// Times the native engine on the sheet-copy workloads of shared/bench (W1 fan-out, W2 tall
// sheet, W3 mixed) the way the copy operation drives it - one engine instance per sheet
// row, every destination opened, copied into, saved and closed - and prints the time and
// peak memory beside the floor: rewriting every destination byte for byte.
//
//   tessaro_engine_bench WORKDIR [--workloads W1,W2,W3] [--scale full] [--runs N] [--check]
//
// Workloads are generated into WORKDIR with shared/bench/gen.py when missing. Each run
// works on a fresh copy of the workload in a child process, so the peak memory reported is
// that of the engine doing that workload alone.
#include "platform/spreadsheet_automation.h"
#include "engine/opc/engine_context.h"
#include "engine/xlsx/native_engine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Just enough JSON for task.json: objects, arrays, strings, numbers, booleans.
struct Json {
    enum class T { Null, Bool, Num, Str, Arr, Obj } t = T::Null;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<Json> a;
    std::map<std::string, Json> o;
    const Json& operator[](const std::string& k) const
    {
        static Json none;
        auto it = o.find(k);
        return it == o.end() ? none : it->second;
    }
};

class JsonParser {
public:
    explicit JsonParser(std::string text) : t_(std::move(text)) {}
    Json parse()
    {
        ws();
        Json j;
        char c = t_.at(i_);
        if (c == '{') {
            j.t = Json::T::Obj;
            ++i_;
            ws();
            while (t_.at(i_) != '}') {
                std::string k = str();
                ws();
                ++i_;  // ':'
                j.o[k] = parse();
                ws();
                if (t_.at(i_) == ',')
                    ++i_;
                ws();
            }
            ++i_;
        } else if (c == '[') {
            j.t = Json::T::Arr;
            ++i_;
            ws();
            while (t_.at(i_) != ']') {
                j.a.push_back(parse());
                ws();
                if (t_.at(i_) == ',')
                    ++i_;
                ws();
            }
            ++i_;
        } else if (c == '"') {
            j.t = Json::T::Str;
            j.s = str();
        } else if (t_.compare(i_, 4, "true") == 0) {
            j.t = Json::T::Bool;
            j.b = true;
            i_ += 4;
        } else if (t_.compare(i_, 5, "false") == 0) {
            j.t = Json::T::Bool;
            i_ += 5;
        } else if (t_.compare(i_, 4, "null") == 0) {
            i_ += 4;
        } else {
            j.t = Json::T::Num;
            std::size_t used = 0;
            j.n = std::stod(t_.substr(i_), &used);
            i_ += used;
        }
        return j;
    }

private:
    void ws()
    {
        while (i_ < t_.size() && std::isspace(static_cast<unsigned char>(t_[i_])))
            ++i_;
    }
    std::string str()
    {
        std::string out;
        ++i_;
        while (t_.at(i_) != '"') {
            if (t_[i_] == '\\')
                ++i_;
            out.push_back(t_[i_++]);
        }
        ++i_;
        return out;
    }
    std::string t_;
    std::size_t i_ = 0;
};

struct Task {
    std::vector<std::pair<std::string, std::string>> sheets;  // source file, sheet
    std::vector<std::string> dests;
    bool before = false;
    int count = 1;
};

Task readTask(const fs::path& dir)
{
    std::ifstream in(dir / "task.json");
    std::stringstream ss;
    ss << in.rdbuf();
    Json j = JsonParser(ss.str()).parse();
    Task t;
    for (const auto& s : j["sheets"].a)
        t.sheets.emplace_back(s["source"].s, s["sheet"].s);
    for (const auto& d : j["dests"].a)
        t.dests.push_back(d.s);
    t.before = j["before"].b;
    t.count = static_cast<int>(j["count"].n);
    return t;
}

void copyTree(const fs::path& from, const fs::path& to)
{
    fs::remove_all(to);
    fs::create_directories(to);
    for (const auto& e : fs::directory_iterator(from))
        if (e.is_regular_file())
            fs::copy_file(e.path(), to / e.path().filename());
}

// The engine doing the task as the copy operation does it: per sheet row one instance,
// the source opened once, every destination opened, copied into, saved and closed.
void runEngine(const fs::path& dir, const Task& task, std::shared_ptr<tessaro::xlsx::EngineContext> ctx)
{
    auto factory = tessaro::xlsx::nativeAutomationFactory(ctx);
    std::vector<std::size_t> order(task.sheets.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = task.before ? order.size() - 1 - i : i;
    for (std::size_t row : order) {
        auto server = factory();
        auto src = server->open(dir / task.sheets[row].first);
        server->setDisplayAlerts(false);
        auto sheet = server->worksheet(src, task.sheets[row].second);
        for (const auto& d : task.dests) {
            auto dst = server->open(dir / d);
            server->setDisplayAlerts(false);
            int end = server->worksheetCount(dst);
            int front = 1;
            for (int k = 0; k < task.count; ++k) {
                if (task.before)
                    server->copySheet(sheet, tessaro::Placement::Before, server->sheet(dst, front++));
                else
                    server->copySheet(sheet, tessaro::Placement::After, server->sheet(dst, end++));
            }
            server->save(dst);
            server->close(dst);
        }
        server->close(src);
        server->quit();
    }
}

// Byte-for-byte rewrite of every destination to a temporary name and rename, in process:
// the I/O a save in place costs at the very least.
void runFloor(const fs::path& dir, const Task& task)
{
    std::vector<char> buf(1 << 20);
    for (const auto& d : task.dests) {
        fs::path p = dir / d, tmp = dir / (d + ".floor");
        FILE* in = std::fopen(p.c_str(), "rb");
        FILE* out = std::fopen(tmp.c_str(), "wb");
        std::size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), in)) > 0)
            std::fwrite(buf.data(), 1, n, out);
        std::fclose(in);
        std::fclose(out);
        fs::rename(tmp, p);
    }
}

struct Measure {
    double seconds = 0;
    double peakMiB = 0;
    int status = 0;
    std::string extra;
};

template <typename F>
Measure inChild(F&& work)
{
    int pipefd[2];
    if (::pipe(pipefd) != 0)
        std::exit(1);
    auto start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipefd[0]);
        std::string extra;
        int rc = 0;
        try {
            extra = work();
        } catch (const std::exception& e) {
            extra = std::string("failed: ") + e.what();
            rc = 1;
        }
        [[maybe_unused]] auto w = ::write(pipefd[1], extra.data(), extra.size());
        ::close(pipefd[1]);
        std::_Exit(rc);
    }
    ::close(pipefd[1]);
    std::string extra;
    char b[512];
    ssize_t n;
    while ((n = ::read(pipefd[0], b, sizeof b)) > 0)
        extra.append(b, static_cast<std::size_t>(n));
    ::close(pipefd[0]);
    int status = 0;
    struct rusage ru {};
    ::wait4(pid, &status, 0, &ru);
    Measure m;
    m.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    m.peakMiB = static_cast<double>(ru.ru_maxrss) / 1024.0;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    m.extra = extra;
    return m;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: tessaro_engine_bench WORKDIR [--shared DIR] [--workloads W1,W2,W3] [--scale full] "
                     "[--runs N] [--check]\n";
        return 2;
    }
    fs::path work = argv[1];
    std::string workloads = "W1,W2,W3", scale = "full";
    int runs = 3;
    bool check = false;
    const char* sharedEnv = std::getenv("TESSARO_SHARED_DIR");
    fs::path sharedDir = sharedEnv ? fs::path(sharedEnv) : fs::path();
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--shared" && i + 1 < argc)
            sharedDir = argv[++i];
        else if (a == "--workloads" && i + 1 < argc)
            workloads = argv[++i];
        else if (a == "--scale" && i + 1 < argc)
            scale = argv[++i];
        else if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--check")
            check = true;
    }
    if (sharedDir.empty()) {
        std::cerr << "tessaro_engine_bench: name the shared folder (its bench/gen.py makes the workloads) with "
                     "--shared DIR or TESSARO_SHARED_DIR\n";
        return 2;
    }
    std::string gen = fmt::format("/usr/bin/python3 '{}' '{}' --scale {} --workloads {} > /dev/null",
                                  (sharedDir / "bench" / "gen.py").string(), work.string(), scale, workloads);
    if (std::system(gen.c_str()) != 0) {
        std::cerr << "cannot generate the workloads with " << gen << "\n";
        return 1;
    }
    fmt::print("{:<4} {:>6} {:>9} {:>9} {:>10} {:>10} {:>8}  {}\n", "work", "dests", "engine s", "peak MiB",
               "floor s", "cp-floor s", "x floor", "notes");
    std::stringstream list(workloads);
    std::string w;
    int failures = 0;
    while (std::getline(list, w, ',')) {
        fs::path pristine = work / w;
        Task task = readTask(pristine);
        fs::path run = work / ("run-" + w);
        std::vector<double> engine, floor, cpFloor, peak;
        std::string notes;
        for (int r = 0; r < runs; ++r) {
            copyTree(pristine, run);
            Measure m = inChild([&] {
                auto ctx = std::make_shared<tessaro::xlsx::EngineContext>(tessaro::xlsx::EngineOptions{});
                runEngine(run, task, ctx);
                auto s = ctx->stats();
                return fmt::format("sheet rewrites {} (reused {}), part compressions {} (reused {})", s.rewrites,
                                   s.reusedRewrites, s.compressions, s.reusedCompressions);
            });
            if (m.status != 0) {
                std::cerr << w << ": " << m.extra << "\n";
                ++failures;
                break;
            }
            engine.push_back(m.seconds);
            peak.push_back(m.peakMiB);
            notes = m.extra;
            if (check && r == runs - 1) {
                std::string cmd = fmt::format("/usr/bin/python3 '{}' '{}' '{}' --no-fidelity > '{}' 2>&1",
                                              (sharedDir / "bench" / "check.py").string(), pristine.string(),
                                              run.string(), (work / (w + "-check.txt")).string());
                int rc = std::system(cmd.c_str());
                notes += rc == 0 ? "; check passed" : "; CHECK FAILED (see " + w + "-check.txt)";
                if (rc != 0)
                    ++failures;
            }
            copyTree(pristine, run);
            Measure f = inChild([&] {
                runFloor(run, task);
                return std::string();
            });
            floor.push_back(f.seconds);
            copyTree(pristine, run);
            std::string cp = fmt::format("sh '{}' copy", (sharedDir / "bench" / "peers" / "cp_floor.sh").string());
            for (const auto& d : task.dests)
                cp += " --dest '" + (run / d).string() + "'";
            auto c0 = Clock::now();
            if (std::system(cp.c_str()) == 0)
                cpFloor.push_back(std::chrono::duration<double>(Clock::now() - c0).count());
        }
        if (engine.empty())
            continue;
        double e = median(engine), fl = median(cpFloor.empty() ? floor : cpFloor);
        fmt::print("{:<4} {:>6} {:>9.3f} {:>9.1f} {:>10.3f} {:>10.3f} {:>8.2f}  {}\n", w, task.dests.size(), e,
                   *std::max_element(peak.begin(), peak.end()), median(floor), median(cpFloor), e / fl, notes);
        fs::remove_all(run);
    }
    return failures == 0 ? 0 : 1;
}
