// Times a short-lived command the way Claude Code runs its status line: started directly (no
// shell), standard input from a file, output discarded; prints the median over many runs.
// hyperfine can only feed input through a shell and warns that its shell correction is
// imprecise below 5 ms, which is where `quillon --statusline` lives.
//
//   spawn_median <runs> <input file> <program> [arguments...]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: spawn_median <runs> <input file> <program> [arguments...]\n");
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[1]));
    const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const int in = ::open(argv[2], O_RDONLY | O_CLOEXEC);
        if (in < 0 || devnull < 0) return 1;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in, 0);
        posix_spawn_file_actions_adddup2(&fa, devnull, 1);
        timespec a{}, b{};
        clock_gettime(CLOCK_MONOTONIC, &a);
        pid_t pid = -1;
        if (::posix_spawn(&pid, argv[3], &fa, nullptr, argv + 3, environ) != 0) return 1;
        int status = 0;
        ::waitpid(pid, &status, 0);
        clock_gettime(CLOCK_MONOTONIC, &b);
        ms.push_back(static_cast<double>(b.tv_sec - a.tv_sec) * 1e3 + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e6);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%d runs: median %.2f ms, 10th percentile %.2f ms, 90th percentile %.2f ms\n", runs,
                ms[ms.size() / 2], ms[ms.size() / 10], ms[ms.size() * 9 / 10]);
    return 0;
}
