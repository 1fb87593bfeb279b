// main() for suites that need the user's secret store: the test re-executes itself under
// dbus-run-session with a fresh home folder, starts gnome-keyring-daemon unlocked on that
// private session bus, runs the tests and stops the daemon. A daemon that does not come up is
// a failure with its reason, never a skip.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "process/Subprocess.h"
#include "support/TempDir.h"

namespace {

constexpr const char* kSessionVariable = "TESSARO_KEYRING_TEST_SESSION";

// Our own output and error output, so that the child's reach the test log as they come.
tessaro::SubprocessOptions passingOutputThrough() {
  tessaro::SubprocessOptions options;
  options.standardOutput = STDOUT_FILENO;
  options.standardError = STDERR_FILENO;
  return options;
}

bool secretServiceOnBus(GDBusConnection* bus) {
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000,
      nullptr, nullptr);
  if (!reply) return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned;
}

// Starts the daemon unlocked with a throw-away password; false when it does not come up on the
// bus within ten seconds.
bool startKeyringDaemon(tessaro::Subprocess& daemon) {
  tessaro::SubprocessOptions options = passingOutputThrough();
  options.inputPipe = true;
  if (!daemon.start({"/usr/bin/gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
                    options))
    return false;
  daemon.writeInput("keyring test");
  daemon.closeInput();
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  bool up = false;
  for (int i = 0; bus && i < 100 && !up && daemon.running(); ++i) {
    up = secretServiceOnBus(bus);
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (bus) g_object_unref(bus);
  return up;
}

int runInPrivateSession(int argc, char** argv) {
  const tessaro::test::TempDir home;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> args{"/usr/bin/dbus-run-session", "--", self};
  args.insert(args.end(), argv + 1, argv + argc);
  tessaro::SubprocessOptions options = passingOutputThrough();
  options.environment = {{"HOME", home.str()},
                         {"XDG_DATA_HOME", home.str() + "/data"},
                         {"XDG_CONFIG_HOME", home.str() + "/config"},
                         {"XDG_CACHE_HOME", home.str() + "/cache"},
                         {"XDG_RUNTIME_DIR", home.str()},
                         {kSessionVariable, "1"}};
  const tessaro::SubprocessResult session = tessaro::run(args, options);
  if (!session.started)
    std::fprintf(stderr, "cannot run /usr/bin/dbus-run-session (is the dbus package installed?)\n");
  return session.exitStatus >= 0 ? session.exitStatus : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> original(argv, argv + argc);
  testing::InitGoogleTest(&argc, argv);
  if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  if (!std::getenv(kSessionVariable))
    return runInPrivateSession(static_cast<int>(original.size()), original.data());

  tessaro::Subprocess daemon;  // ended and reaped when it goes
  if (!startKeyringDaemon(daemon)) {
    std::fprintf(stderr,
                 "gnome-keyring-daemon did not come up on the private session bus "
                 "(is the gnome-keyring package installed?)\n");
    return 1;
  }
  return RUN_ALL_TESTS();
}
