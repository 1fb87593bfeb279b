// main() for suites that need the user's secret store: the test re-executes itself under
// dbus-run-session with a fresh home folder, starts gnome-keyring-daemon unlocked on that
// private session bus, runs the tests and stops the daemon. A daemon that does not come up is
// a failure with its reason, never a skip.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kSessionVariable = "TESSARO_KEYRING_TEST_SESSION";

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

// Starts the daemon unlocked with a throw-away password; its pid, or -1 with the reason printed.
pid_t startKeyringDaemon() {
  int input[2];
  if (pipe(input) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(input[0], STDIN_FILENO);
    close(input[0]);
    close(input[1]);
    execl("/usr/bin/gnome-keyring-daemon", "gnome-keyring-daemon", "--foreground", "--unlock",
          "--components=secrets", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(input[0]);
  if (pid < 0) return -1;
  const char password[] = "keyring test";
  (void)!write(input[1], password, sizeof password - 1);
  close(input[1]);

  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  for (int i = 0; bus && i < 100; ++i) {
    if (secretServiceOnBus(bus)) {
      g_object_unref(bus);
      return pid;
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (bus) g_object_unref(bus);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return -1;
}

int runInPrivateSession(int argc, char** argv) {
  char folder[] = "/tmp/tessaro-keyring-XXXXXX";
  if (!mkdtemp(folder)) {
    std::fprintf(stderr, "cannot make a home folder for the keyring test\n");
    return 1;
  }
  const std::string home = folder;
  setenv("HOME", folder, 1);
  setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", folder, 1);
  setenv(kSessionVariable, "1", 1);
  std::vector<char*> args{const_cast<char*>("dbus-run-session"), const_cast<char*>("--")};
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  args.push_back(const_cast<char*>(self.c_str()));
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execv("/usr/bin/dbus-run-session", args.data());
    std::fprintf(stderr, "cannot run /usr/bin/dbus-run-session (is the dbus package installed?)\n");
    _exit(127);
  }
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> original(argv, argv + argc);
  testing::InitGoogleTest(&argc, argv);
  if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  if (!std::getenv(kSessionVariable))
    return runInPrivateSession(static_cast<int>(original.size()), original.data());

  const pid_t daemon = startKeyringDaemon();
  if (daemon < 0) {
    std::fprintf(stderr,
                 "gnome-keyring-daemon did not come up on the private session bus "
                 "(is the gnome-keyring package installed?)\n");
    return 1;
  }
  const int result = RUN_ALL_TESTS();
  kill(daemon, SIGTERM);
  waitpid(daemon, nullptr, 0);
  return result;
}
