// bench-probe [PROCESSES [DESCRIPTORS]]
// Times the start-up probe (ScanPorts: OpenPort on COM1 to COM16) with all
// sixteen names on pseudo-terminals, so that every open reads every other
// process's descriptors for holders. PROCESSES extra processes (default 0),
// each holding DESCRIPTORS descriptors (default 100), make the machine look
// like a busy desktop. Prints the best and the median of 20 passes as one
// sweep (what the programs do), and of 5 passes without one (a look per
// open), with how many descriptors the machine had open.
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/serial.h"
#include "update/update.h"

namespace {

double NowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int CountDescriptors() {
  int count = 0;
  DIR* proc = opendir("/proc");
  while (dirent* p = proc ? readdir(proc) : nullptr) {
    DIR* fds = opendir(("/proc/" + std::string(p->d_name) + "/fd").c_str());
    while (dirent* f = fds ? readdir(fds) : nullptr) count += f->d_name[0] != '.';
    if (fds) closedir(fds);
  }
  if (proc) closedir(proc);
  return count;
}

// Best and median of `runs` passes, in ms.
void Time(const char* what, int runs, bool sweep) {
  std::vector<double> ms;
  int opened = 0;
  for (int i = 0; i < runs; ++i) {
    opened = 0;
    const double start = NowMs();
    if (sweep) {
      ScanPorts(0, [&](const std::string&, bool ok) { opened += ok; });
    } else {
      for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
        if (OpenUpdatePort(0, PortName(n)) != 0) ++opened;
        ClosePort(0);
      }
    }
    ms.push_back(NowMs() - start);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-34s best %7.1f ms, median %7.1f ms (%d of 16 opened)\n", what, ms.front(),
              ms[ms.size() / 2], opened);
}

}  // namespace

int main(int argc, char** argv) {
  const int processes = argc > 1 ? std::atoi(argv[1]) : 0;
  const int descriptors = argc > 2 ? std::atoi(argv[2]) : 100;
  std::vector<pid_t> load;
  for (int i = 0; i < processes; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      for (int k = 0; k < descriptors; ++k) open("/dev/null", O_RDONLY);
      pause();
      _exit(0);
    }
    load.push_back(pid);
  }
  // The terminals' slave sides are closed: only the masters stay, as with
  // a device on the other end.
  std::vector<int> masters;
  for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
    int master = -1;
    int slave = -1;
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return 2;
    close(slave);
    masters.push_back(master);
    setenv(("UPDATE_FIRMWARE_COM" + std::to_string(n)).c_str(), name, 1);
  }
  usleep(200000);  // the load has opened its descriptors
  std::printf("%d descriptors open on this machine, %d processes\n", CountDescriptors(),
              static_cast<int>(load.size()));
  Time("start-up probe, one sweep", 20, true);
  Time("16 opens, a look for each", 5, false);
  for (pid_t pid : load) kill(pid, SIGKILL);
  for (pid_t pid : load) waitpid(pid, nullptr, 0);
  return 0;
}
