#pragma once

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// How the benchmarks time one run: in a child process of its own, so that the peak resident size the
// kernel reports for it (ru_maxrss) is that run's alone.
struct Measure {
    bool ok = false;       // the work ended without an error
    double seconds = 0;    // wall time, as the child measured it
    double cpuSeconds = 0; // user and system time: steadier than wall time on a busy machine
    double peakMegabytes = 0;
};

// Runs `work` in a child process; its wall time comes back through a pipe, the rest from wait4.
inline Measure inChild(const std::function<void()>& work)
{
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return {};
    std::fflush(nullptr); // or the child would print again what the parent has not written yet
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        int status = 0;
        auto start = std::chrono::steady_clock::now();
        try {
            work();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            status = 1;
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        [[maybe_unused]] auto written = ::write(pipeEnds[1], &seconds, sizeof seconds);
        std::fflush(nullptr);
        ::_exit(status);
    }
    ::close(pipeEnds[1]);
    Measure measure;
    if (::read(pipeEnds[0], &measure.seconds, sizeof measure.seconds) != sizeof measure.seconds)
        measure.seconds = -1;
    ::close(pipeEnds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    measure.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    measure.peakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024.0; // ru_maxrss is in kilobytes
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    measure.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return measure;
}
