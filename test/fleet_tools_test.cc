// The tools of a lab, run on what we ship for them: Prometheus's own check
// of the metrics, systemd's of the unit, and Ansible running the campaign
// playbook against two hosts that are this machine. Linux only; each test
// is skipped, saying why, when its tool is not installed.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_support.h"
#include "platform/testing/subprocess.h"
#include "test_support.h"

namespace vorbex {
namespace {

using platform::ProcessResult;
using platform::RunProcess;
using testing::FindTool;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// promtool reads the metrics on its standard input, which RunProcess does
// not give.
ProcessResult Promtool(const std::string& promtool, const std::string& file) {
  return RunProcess({FindTool("sh"), "-c", "exec \"$0\" check metrics <\"$1\"",
                     promtool, file},
                    60);
}

// The file as the run starts (its state, no test yet) and as it ends, for
// a target whose name needs escaping, in a window.
TEST(FleetToolsTest, PromtoolAcceptsTheMetrics) {
  const std::string promtool = FindTool("promtool");
  if (promtool.empty()) {
    GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
  }
  testing::TempDir dir;
  const std::string target = dir.File("a \"quoted\\ target.img");
  const std::string metrics = dir.File("m.prom");
  testing::MakeSparseFile(target, 8 << 20);
  ProcessResult run;
  std::thread thread([&] {
    run = testing::Vorbex(
        {"--metrics", metrics, "--offset", "1M", target, "334", "2"});
  });
  std::string first;
  for (int i = 0; i < 100 && first.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    first = Slurp(metrics);
  }
  thread.join();
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::string first_copy = dir.File("first.prom");
  Put(first_copy, first);
  for (const std::string& file : {first_copy, metrics}) {
    SCOPED_TRACE(Slurp(file).substr(0, 2000));
    const ProcessResult r = Promtool(promtool, file);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
  }
  EXPECT_NE(Slurp(metrics).find("vorbex_exit_code{target=\"" +
                                std::filesystem::path(dir.path()).string() +
                                "/a \\\"quoted\\\\ target.img\","
                                "window=\"1048576:end\"} 0\n"),
            std::string::npos);
}

// The README's queries and alert rules, as Prometheus reads them: the
// queries as recording rules beside the alerts.
TEST(FleetToolsTest, PromtoolAcceptsTheReadmesQueriesAndAlerts) {
  const std::string promtool = FindTool("promtool");
  if (promtool.empty()) {
    GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
  }
  const std::string readme = Slurp(VORBEX_SOURCE_DIR "/README.md");
  const size_t section = readme.find("\n### Live metrics\n");
  ASSERT_NE(section, std::string::npos);
  const auto block = [&](const std::string& fence) {
    const size_t from = readme.find("```" + fence + "\n", section);
    EXPECT_NE(from, std::string::npos) << fence;
    const size_t start = from + fence.size() + 4;
    return readme.substr(start, readme.find("\n```", start) + 1 - start);
  };
  std::string rules = block("yaml");
  ASSERT_EQ(rules.rfind("groups:\n", 0), 0u) << rules;
  rules += "  - name: readme-queries\n    rules:\n";
  std::istringstream queries(block("promql"));
  int n = 0;
  for (std::string query; std::getline(queries, query);) {
    rules += "      - record: vorbex:readme_query_" + std::to_string(++n) +
             "\n        expr: '" + query + "'\n";
  }
  EXPECT_EQ(n, 2);
  testing::TempDir dir;
  Put(dir.File("rules.yml"), rules);
  const ProcessResult r =
      RunProcess({promtool, "check", "rules", dir.File("rules.yml")}, 60);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err << rules;
}

// verify checks what the unit says and that its program exists, so a copy
// runs the program just built.
TEST(FleetToolsTest, SystemdAcceptsTheUnit) {
  const std::string analyze = FindTool("systemd-analyze");
  if (analyze.empty()) {
    GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd)";
  }
  testing::TempDir dir;
  std::string unit =
      Slurp(VORBEX_SOURCE_DIR "/contrib/systemd/vorbex@.service");
  const std::string program = "/usr/bin/vorbex ";
  const size_t at = unit.find("ExecStart=" + program);
  ASSERT_NE(at, std::string::npos) << unit;
  unit.replace(at + 10, program.size(), VORBEX_BINARY " ");
  Put(dir.File("vorbex@.service"), unit);
  const ProcessResult r = RunProcess(
      {analyze, "verify", "--man=no", dir.File("vorbex@sdb.service")}, 60);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out + r.err, "");
}

class AnsibleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    playbook_ = FindTool("ansible-playbook");
    if (playbook_.empty()) {
      GTEST_SKIP() << "ansible-playbook is not installed (Debian package "
                      "ansible-core or ansible)";
    }
    std::filesystem::create_directory(dir_.File("home"));
  }

  // Ansible keeps its temporary and asynchronous files under HOME, here
  // the test's own.
  ProcessResult Playbook(std::vector<std::string> args) {
    args.insert(args.begin(),
                {FindTool("env"), "HOME=" + dir_.File("home"),
                 // Where the jobs it leaves running report, for the play
                 // to find them there too: by default it looks in the home
                 // of the user it runs as, not in HOME.
                 "ANSIBLE_ASYNC_DIR=" + dir_.File("home/.ansible_async"),
                 "LC_ALL=C.UTF-8",
                 "ANSIBLE_NOCOLOR=1", playbook_});
    args.push_back(VORBEX_SOURCE_DIR "/contrib/ansible/playbook.yml");
    return RunProcess(args, 240);
  }

  testing::TempDir dir_;
  std::string playbook_;
};

// The sample inventory's syntax; then two hosts that are this machine, each
// with a drive of its own (a scratch file),
// through the whole playbook: the runs, their reports fetched, the table at
// the end.
TEST_F(AnsibleTest, ACampaignOfTwoHostsEndsInTheTable) {
  std::string targets[2];
  for (int h = 0; h < 2; ++h) {
    targets[h] = dir_.File(h == 0 ? "a.img" : "b.img");
    testing::MakeSparseFile(targets[h], 16 << 20);
  }
  std::string inventory =
      "all:\n  vars:\n"
      "    ansible_connection: local\n"
      "    ansible_python_interpreter: /usr/bin/python3\n"
      "    vorbex_become: false\n"
      "    vorbex_systemd: false\n"
      "    vorbex_deb: \"\"\n"
      "    vorbex_program: " VORBEX_BINARY
      "\n"
      "    vorbex_controller_program: " VORBEX_BINARY
      "\n"
      "    vorbex_reports: " +
      dir_.File("reports") +
      "\n"
      "    vorbex_level: 1\n    vorbex_time: 3\n"
      "    vorbex_poll_seconds: 1\n    vorbex_wait_seconds: 120\n"
      "  children:\n    vorbex:\n      hosts:\n";
  for (int h = 0; h < 2; ++h) {
    const std::string host = h == 0 ? "rack-a" : "rack-b";
    inventory += "        " + host + ":\n" +
                 "          vorbex_conf_dir: " + dir_.File(host + "-etc") +
                 "\n          vorbex_state_dir: " + dir_.File(host + "-state") +
                 "\n          vorbex_drives: [{name: drive1, path: \"" +
                 targets[h] + "\"}]\n";
  }
  Put(dir_.File("inventory.yml"), inventory);

  ProcessResult r =
      Playbook({"--syntax-check", "-i",
                VORBEX_SOURCE_DIR "/contrib/ansible/inventory.sample.yml"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  r = Playbook({"-i", dir_.File("inventory.yml")});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  for (int h = 0; h < 2; ++h) {
    const std::string host = h == 0 ? "rack-a" : "rack-b";
    EXPECT_TRUE(
        std::filesystem::exists(dir_.File("reports/" + host + "/drive1.json")));
    // The table's row, as the play shows it: a quoted line.
    const size_t row = r.out.find("  " + targets[h] + "  ");
    ASSERT_NE(row, std::string::npos) << r.out;
    EXPECT_NE(r.out.substr(row, r.out.find('\n', row) - row).find("passed\""),
              std::string::npos)
        << r.out;
  }
  EXPECT_NE(r.out.find("\"Total  2 runs"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace vorbex
