#include "ui/qt/single_instance.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>

#include "platform/instance_socket.h"
#include "platform/os.h"
#include "tests/test_util.h"
#include "ui/qt/ui_test_util.h"

namespace veldar {
namespace {

// Starts the built command-line program as a separate process with private
// runtime, settings and state directories, as a second start from a
// terminal or the desktop would: it asks the dialog program's server (here,
// one in this process) over a plain socket, and without parameters starts
// the dialog program beside it. The socket is in the user's home directory:
// the test puts one of its own over it.
class SingleInstanceTest : public ::testing::Test {
 protected:
  std::unique_ptr<Os> os = MakeSystemOs();
  void SetUp() override {
    if (home.empty()) GTEST_SKIP() << "needs a home directory of the test's own (root)";
  }
  SingleInstanceTest() {
    home = testing::IsolateHome();
    testing::EnsureApplication();
    testing::MakeDirs(dir / "run");
    chmod((dir / "run").c_str(), 0700);
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(dir / "run"));
    socketName = QString::fromStdString(InstanceSocketPath(*os));
    qputenv("XDG_RUNTIME_DIR", saved);
  }

  QProcessEnvironment Environment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir / "run"));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir / "config"));
    env.insert("XDG_STATE_HOME", QString::fromStdString(dir / "state"));
    return env;
  }
  void Start(QProcess& process, const QStringList& arguments) {
    process.setProcessEnvironment(Environment());
    process.setWorkingDirectory(QString::fromStdString(dir.path()));
    process.start(QStringLiteral(VELDAR2_BINARY), arguments);
    ASSERT_TRUE(process.waitForStarted(10000));
  }
  // Runs the program to its end, keeping this process's event loop going so
  // that a server in it can answer. The exit status, or -1.
  // `lang` is its LANG (its other locale variables unset).
  // `unset`: variables it runs without.
  int Run(const QStringList& arguments, const QString& lang = QStringLiteral("C.UTF-8"),
          const QStringList& unset = {}) {
    QProcess process;
    QProcessEnvironment env = Environment();
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) env.remove(QString::fromLatin1(name));
    for (const QString& name : unset) env.remove(name);
    env.insert("LANG", lang);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(QString::fromStdString(dir.path()));
    process.start(QStringLiteral(VELDAR2_BINARY), arguments);
    if (!process.waitForStarted(10000)) return -1;
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000)) {
      process.kill();
      process.waitForFinished();
      return -1;
    }
    errorOutput = QString::fromUtf8(process.readAllStandardError()).toStdString();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  }
  bool Listening() {
    QLocalSocket probe;
    probe.connectToServer(socketName);
    const bool connected = probe.waitForConnected(200);
    probe.abort();
    return connected;
  }
  bool WaitUntilListening() {
    return QTest::qWaitFor([&] { return Listening(); }, 20000);
  }
  static void Stop(QProcess& process) {
    process.kill();
    process.waitForFinished(10000);
  }

  std::string home;  // the test's own
  testing::TempDir dir;
  QString socketName;
  std::string errorOutput;  // of the last Run
};

TEST_F(SingleInstanceTest, SecondStartsHandOverWithoutReadingOrRunning) {
  int requests = 0;
  InstanceServer server([&] { ++requests; });
  ASSERT_EQ(server.Listen(socketName.toStdString()), InstanceServer::ListenResult::kListening);
  struct stat st;
  ASSERT_EQ(stat(socketName.toLocal8Bit().constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u) << "reachable by the user alone";

  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(requests, 1);
  testing::MakeDirs(dir / "src");
  testing::WriteFile(dir / "src/a.txt", "a");
  testing::MakeDirs(dir / "dst");
  // A batch start (a timer's, a cron job's) says why it did nothing.
  EXPECT_EQ(Run({"-M3", "src", "dst"}), 3);
  EXPECT_EQ(errorOutput,
            "veldar2: Veldar のウィンドウが開いているため、何もしませんでした（閉じてからやり直してください）\n");
  EXPECT_EQ(Run({"-M3", "src", "dst"}, QStringLiteral("en_US.UTF-8")), 3);
  EXPECT_EQ(errorOutput, "veldar2: a Veldar window is open, so nothing was done (close it and start again)\n");
  EXPECT_EQ(requests, 3);
  EXPECT_TRUE(testing::ListNames(dir / "dst").empty()) << "no run";
  EXPECT_FALSE(testing::Exists(dir / "state")) << "nothing logged";
  EXPECT_FALSE(testing::Exists(dir / "config")) << "no settings written";
}

TEST_F(SingleInstanceTest, TwoProgramsAndASocketLeftByACrash) {
  QProcess first;
  Start(first, {});
  ASSERT_TRUE(WaitUntilListening());
  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(first.state(), QProcess::Running) << "the first instance goes on";

  // Killed without a chance to clean up: its socket stays behind.
  Stop(first);
  ASSERT_TRUE(QFileInfo::exists(socketName));
  ASSERT_FALSE(Listening());

  QProcess next;
  Start(next, {});
  ASSERT_TRUE(WaitUntilListening()) << "a stale socket must not block the next start";
  EXPECT_EQ(Run({"-M3", "src", "dst"}), 3);
  EXPECT_EQ(next.state(), QProcess::Running);
  Stop(next);
}

// A list and a dry run run while the dialog is open; every other batch run
// of the user sees it, whatever its environment (cron sets no
// XDG_RUNTIME_DIR).
TEST_F(SingleInstanceTest, OnlyRunsThatWriteWaitForTheDialog) {
  testing::MakeDirs(dir / "src");
  testing::WriteFile(dir / "src/a.txt", "a");
  testing::MakeDirs(dir / "dst");
  QProcess dialog;
  Start(dialog, {});
  ASSERT_TRUE(WaitUntilListening());
  EXPECT_EQ(Run({"-LIST", "src", "dst"}), 0) << errorOutput;
  EXPECT_EQ(Run({"-DRYRUN", "-M3", "src", "dst"}), 0) << errorOutput;
  EXPECT_EQ(Run({"-M3", "src", "dst"}, QStringLiteral("C.UTF-8"), {"XDG_RUNTIME_DIR", "TMPDIR"}), 3) << errorOutput;
  EXPECT_TRUE(testing::ListNames(dir / "dst").empty()) << "no run";
  Stop(dialog);
}

}  // namespace
}  // namespace veldar
