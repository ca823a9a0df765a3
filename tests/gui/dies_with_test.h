// A program a GUI test starts through QProcess ends with the test process,
// however that ends (a killed test must leave no window program running).
#pragma once

#include <signal.h>
#include <sys/prctl.h>

#include <QProcess>

namespace quelmar::testing {

inline void DiesWithTest(QProcess& process) {
  process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

}  // namespace quelmar::testing
