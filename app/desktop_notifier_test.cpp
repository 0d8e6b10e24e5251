#include "app/desktop_notifier.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "tests/test_util.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace veldar {
namespace {

TEST(DesktopNotifierTest, NotifySendOnlyWhereASessionBusExists) {
  const struct {
    std::optional<std::string> bus;
    int exitStatus;
    bool run, shown;
  } cases[] = {
      {std::nullopt, 0, false, false},  // a timer's run without a session: nothing
      {"", 0, false, false},
      {"unix:path=/run/user/1000/bus", 0, true, true},
      {"unix:path=/run/user/1000/bus", 1, true, false},   // the service refused it
      {"unix:path=/run/user/1000/bus", -1, true, false},  // no notify-send on PATH
  };
  for (const auto& c : cases) {
    std::vector<std::vector<std::string>> commands;
    NotifySendNotifier notifier(
        [&](const std::string& name) { return name == "DBUS_SESSION_BUS_ADDRESS" ? c.bus : std::nullopt; },
        [&](const std::vector<std::string>& command) {
          commands.push_back(command);
          return c.exitStatus;
        });
    EXPECT_EQ(notifier.NotifyFailure("-the backup failed", "a<b & \xFF"), c.shown);
    ASSERT_EQ(commands.size(), c.run ? 1u : 0u);
    if (c.run) {
      EXPECT_EQ(commands[0],
                (std::vector<std::string>{"notify-send", "--app-name=Veldar", "--urgency=critical", "--icon=veldar2",
                                          "--", "-the backup failed", "a&lt;b &amp; \xEF\xBF\xBD"}));
    }
  }
}

#ifndef _WIN32
// The system's notifier runs the notify-send found on PATH with the texts as
// its arguments and hears its exit status.
TEST(DesktopNotifierTest, SystemNotifierRunsNotifySendFromPath) {
  testing::TempDir dir;
  const std::string script = dir / "notify-send";
  testing::WriteFile(script,
                     "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > \"$0.args\"\nexit $(cat \"$0.status\")\n");
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  std::map<std::string, std::optional<std::string>> saved;
  for (const char* name : {"PATH", "DBUS_SESSION_BUS_ADDRESS"}) {
    const char* value = std::getenv(name);
    saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
  }
  setenv("PATH", (dir.path() + ":/usr/bin:/bin").c_str(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);

  const std::unique_ptr<Notifier> notifier = MakeDesktopNotifier();
  testing::WriteFile(script + ".status", "0");
  EXPECT_TRUE(notifier->NotifyFailure("summary", "body line"));
  EXPECT_EQ(testing::ReadFile(script + ".args"),
            "--app-name=Veldar\n--urgency=critical\n--icon=veldar2\n--\nsummary\nbody line\n");
  testing::WriteFile(script + ".status", "1");
  EXPECT_FALSE(notifier->NotifyFailure("summary", "body"));
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  testing::WriteFile(script + ".status", "0");
  EXPECT_FALSE(notifier->NotifyFailure("summary", "body"));

  for (const auto& [name, value] : saved) {
    if (value)
      setenv(name.c_str(), value->c_str(), 1);
    else
      unsetenv(name.c_str());
  }
}
#endif

}  // namespace
}  // namespace veldar
