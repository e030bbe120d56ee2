#include "records/RunReport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>
#include <fstream>
#include <sstream>

#include "records/LastRecord.h"
#include "records/RunEvents.h"
#include "records/RunHistory.h"
#include "records/RunJson.h"
#include "file_size_limit.h"
#include "scratch_dir.h"
#include "sys/Sha256.h"

namespace {

QJsonObject Json(const char* text) {
  return QJsonDocument::fromJson(text).object();
}

// A run as the controller reports it: the record keeps its figures and fixes its end when the
// run ends, not when the record is taken.
TEST(RunReport, RecordOfARun) {
  ScratchDir dir;
  dir.Write("a.hex", "abc");
  TRunReport report("bench 4", [] { return TLinkDescription{"udp", "127.0.0.1:10500", 10600}; });
  int ended = 0;
  report.Ended = [&] { ++ended; };
  UseRunHistory({"none", "Bench 4"});
  report.RunStarted("/p/script.ini");
  // The hash of the bytes the run used, not of the file as it stands when recorded.
  report.FileRead(dir.Path() + "a.hex", "00ff");
  report.FileRead(dir.Path() + "a.hex", "00ff");  // read twice, listed once
  const TInstructionRef bank{"/p/Qubra/script.ini", 2, "P0 bank0.hex", "Qubra"};
  report.InstructionStarted(bank, "psd");
  report.InstructionEnded(bank, {irFAILED, "psd", 2, 40, 7});
  report.InstructionSkipped({"/p/Qubra/script.ini", 3, "P8 a.svf", "Qubra"}, "not selected");
  report.VersionSeen({"T", '0', "FFFF", "0130"});
  report.VersionSeen({"OP", 0, "0000", ""});
  report.DeviceReported({"35", "AAAA", "B234"});
  report.RunEnded(roERROR, "Checksum Error\r\nBank 0\rretry", "/p/Qubra/script.ini");
  EXPECT_EQ(ended, 1);

  QJsonObject r = report.Record(1);
  const QDateTime end = QDateTime::fromString(r["end"].toString(), Qt::ISODateWithMs);
  ASSERT_TRUE(end.isValid()) << r["end"].toString().toStdString();
  EXPECT_EQ(end.timeSpec(), Qt::UTC);
  EXPECT_GE(end, QDateTime::fromString(r["start"].toString(), Qt::ISODateWithMs));
  EXPECT_GE(r["seconds"].toDouble(-1), 0);
  QJsonArray instructions = r["instructions"].toArray();
  ASSERT_EQ(instructions.size(), 2);
  EXPECT_GE(instructions[0].toObject()["seconds"].toDouble(-1), 0);
  EXPECT_EQ(instructions[1].toObject()["seconds"], 0);
  for (qsizetype k = 0; k < instructions.size(); ++k) {
    QJsonObject i = instructions[k].toObject();
    i.remove("seconds");
    instructions[k] = i;
  }
  // A run's own id, and the station the policy names.
  EXPECT_FALSE(QUuid::fromString(r["id"].toString()).isNull()) << r["id"].toString().toStdString();
  EXPECT_EQ(r["station"], "Bench 4");
  for (const char* key :
       {"start", "end", "seconds", "host", "program", "version", "id", "station"}) {
    EXPECT_TRUE(r.contains(key)) << key;
    r.remove(key);
  }
  const QJsonObject file{{"path", QString::fromStdString(dir.Path() + "a.hex")},
                         {"sha256", "00ff"}};
  EXPECT_EQ(r["files"], QJsonArray{file});
  r.remove("files");
  r["instructions"] = instructions;
  EXPECT_EQ(r, Json(R"({"name": "bench 4", "transport": "udp", "link": "127.0.0.1:10500",
      "local_port": 10600, "script": "/p/script.ini",
      "device": {"type": "35", "id": "AAAA", "boot_checksum": "B234"}, "seal": null,
      "instructions": [
        {"script": "/p/Qubra/script.ini", "line": 2, "text": "P0 bank0.hex", "card": "Qubra",
         "engine": "psd", "result": "failed", "retries": 2, "sent": 40, "received": 7},
        {"script": "/p/Qubra/script.ini", "line": 3, "text": "P8 a.svf", "card": "Qubra",
         "engine": "", "result": "skipped", "retries": 0, "sent": 0, "received": 0,
         "reason": "not selected"}],
      "versions_read": [{"instruction": "T", "component": "0", "version": "FFFF",
                         "expected": "0130"}],
      "versions_written": [{"instruction": "OP", "component": "", "version": "0000"}],
      "result": "error", "error": "Checksum Error\nBank 0\nretry", "error_script": "/p/Qubra/script.ini",
      "exit_status": 1})"));

  // Taken later, the end is still the run's.
  QElapsedTimer clock;
  clock.start();
  while (QDateTime::currentDateTimeUtc() <= end && clock.elapsed() < 1000) {
  }
  EXPECT_EQ(report.Record(-1)["end"].toString(), end.toString(Qt::ISODateWithMs));
  EXPECT_TRUE(report.Record(-1)["exit_status"].isNull());
  // The next run has not ended when it starts.
  report.RunStarted("/p/again.ini");
  r = report.Record(-1);
  EXPECT_GE(r["end"].toString(), r["start"].toString());
}

// A record's files and name are found again by their bytes, also where they are not UTF-8.
TEST(RunReport, FilesAndNameKeepTheirBytes) {
  ScratchDir dir;
  const std::string runs = dir.Path() + "runs.jsonl";
  const std::string cases[][2] = {{"/p/r\xC3\xA9p/a.hex", "/p/r\xC3\xA9p/a.hex"},
                                  {"/p/r\xE9p/a.hex", "/p/r\\xE9p/a.hex"},
                                  {"/p/a\\xE9.hex", "/p/a\\xE9.hex"}};
  TReportFile file;
  std::string error;
  ASSERT_TRUE(file.Open(runs, error)) << error;
  for (const auto& [bytes, shown] : cases) {
    TRunReport report(bytes, nullptr);
    report.RunStarted(bytes);
    report.FileRead(bytes, "00ff");
    const QJsonObject r = report.Record(0), f = r["files"][0].toObject();
    EXPECT_EQ(f["path"].toString().toStdString(), shown);
    EXPECT_EQ(f.contains("path_bytes"), shown != bytes);
    EXPECT_EQ(PathOf(f, "path"), bytes);
    QJsonObject found;
    ASSERT_TRUE(file.Append(r, error) && FindLastRecord(runs, bytes, found, error)) << shown;
    EXPECT_EQ(found["name"], shown.c_str());
  }
}

// A process that ends before its run began: stopped when a signal ended it (128 and up), with
// an empty error either way.
TEST(RunReport, RecordWithoutARun) {
  for (const auto& [exit_status, result] : {std::pair{128, "stopped"}, {127, ""}}) {
    const QJsonObject r = TRunReport("", {}).Record(exit_status);
    EXPECT_EQ(r["result"], result);
    EXPECT_EQ(r["error"], "");
    EXPECT_EQ(r["error_script"], "");
    EXPECT_EQ(r["seconds"], 0);
    EXPECT_EQ(r["exit_status"], exit_status);
    EXPECT_EQ(r["instructions"], QJsonArray());
  }
}

// The line's record of a device whose updater wrote none: its own start and end.
TEST(RunReport, RecordOfALostRun) {
  const QDateTime start = QDateTime::fromString("2026-12-07T10:00:00.000Z", Qt::ISODateWithMs);
  const QJsonObject r = LostRunRecord({"d1",
                                       {"tcp", "127.0.0.1:4001", 0},
                                       "/p/script.ini",
                                       start,
                                       start.addMSecs(2500),
                                       roERROR,
                                       "killed by signal 9",
                                       -1});
  for (const auto& [key, value] : std::initializer_list<std::pair<const char*, QJsonValue>>{
           {"name", "d1"},
           {"link", "127.0.0.1:4001"},
           {"script", "/p/script.ini"},
           {"result", "error"},
           {"error", "killed by signal 9"},
           {"exit_status", QJsonValue()},
           {"start", "2026-12-07T10:00:00.000Z"},
           {"end", "2026-12-07T10:00:02.500Z"},
           {"seconds", 2.5}})
    EXPECT_EQ(r[key], value) << key;
  // Read back, it says no device answered rather than naming an empty one.
  const std::vector<std::string> lines = DescribeRecord(r);
  EXPECT_EQ(lines[2], "Device: none answered");
  QJsonObject stopped = r;
  stopped["instructions"] = QJsonArray{
      QJsonObject{{"text", "SYN"}, {"result", "done"}},
      QJsonObject{{"text", "P8 PROM1.SVF"}, {"result", "stopped"}, {"script", "/p/s.ini"},
                  {"line", 12}},
      QJsonObject{{"text", "FI"}, {"result", "skipped"}}};
  EXPECT_EQ(DescribeRecord(stopped)[2], "Stopped at: P8 PROM1.SVF (/p/s.ini:12)");
}

// The newest record of a device is found reading from the end, across lines longer than the
// blocks read at a time.
TEST(ReportFile, LastRecordOfADevice) {
  ScratchDir dir;
  const std::string path = dir.Path() + "runs.jsonl";
  std::ofstream(path) << "{\"name\":\"e\",\"n\":9}\nnot a record\n";
  TReportFile file;
  std::string error;
  ASSERT_TRUE(file.Open(path, error)) << error;
  const std::pair<const char*, int> written[] = {
      {"a", 150 * 1024}, {"b", 10}, {"a", 70 * 1024}, {"c", 200 * 1024}};
  int n = 0;
  for (const auto& [name, pad] : written)
    ASSERT_TRUE(file.Append({{"name", name}, {"n", n++}, {"pad", QString(pad, 'x')}}, error));
  const std::pair<std::string, int> found[] = {{"a", 2}, {"b", 1}, {"c", 3}, {"d", -1}, {"e", 9}};
  for (const auto& [name, want] : found) {
    QJsonObject record;
    EXPECT_EQ(FindLastRecord(path, name, record, error), want >= 0) << name;
    EXPECT_EQ(record["n"].toInt(-1), want) << name;
    const bool padded = want >= 0 && static_cast<size_t>(want) < std::size(written);
    EXPECT_EQ(record["pad"].toString().size(), padded ? written[want].second : 0) << name;  // whole
    EXPECT_EQ(error, "");
  }
  QJsonObject record;
  EXPECT_FALSE(FindLastRecord(dir.Path() + "none.jsonl", "a", record, error));
  EXPECT_EQ(error, "");
}

// Processes appending records far larger than a pipe's atomic size at the same moment: every
// line is one whole record.
TEST(ReportFile, RecordsStayWholeWithManyWriters) {
  ScratchDir dir;
  const std::string path = dir.Path() + "runs.jsonl";
  constexpr int kWriters = 4, kRecords = 25;
  // Every writer waits for the start pipe to close, so that all of them write at once.
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> pids;
  for (int w = 0; w < kWriters; ++w) {
    const QJsonObject record{{"writer", w}, {"pad", QString(200 * 1024, QLatin1Char('a' + w))}};
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(start[1]);
      char c;
      while (::read(start[0], &c, 1) > 0) {
      }
      TReportFile file;
      std::string error;
      bool ok = file.Open(path, error);
      for (int i = 0; i < kRecords && ok; ++i) ok = file.Append(record, error);
      ::_exit(ok ? 0 : 1);
    }
    pids.push_back(pid);
  }
  ::close(start[0]);
  ::close(start[1]);
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::ifstream in(path);
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    const QJsonObject r = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    const int w = r["writer"].toInt(-1);
    ASSERT_TRUE(w >= 0 && w < kWriters) << "line " << lines << " is torn";
    EXPECT_EQ(r["pad"].toString(), QString(200 * 1024, QLatin1Char('a' + w)));
  }
  EXPECT_EQ(lines, kWriters * kRecords);
}

// Each record lets go of the file at once: another writer, even in the same process, follows.
TEST(ReportFile, EachAppendReleasesTheFile) {
  ScratchDir dir;
  TReportFile first, second;
  std::string error;
  ASSERT_TRUE(first.Open(dir.Path() + "runs.jsonl", error)) << error;
  ASSERT_TRUE(second.Open(dir.Path() + "runs.jsonl", error)) << error;
  for (TReportFile* file : {&first, &second, &first}) EXPECT_TRUE(file->Append({}, error)) << error;
  std::ifstream in(dir.Path() + "runs.jsonl");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{}\n{}\n{}\n");
}

// Without a standard input (a job started from cron) the report takes descriptor 0, and gives it
// back.
TEST(ReportFile, AnyDescriptorWillDo) {
  ScratchDir dir;
  const int input = dup(0);
  close(0);
  {
    // Opened again on a folder: refused, and the file it had is let go.
    TReportFile again;
    std::string error;
    EXPECT_TRUE(again.Open(dir.Path() + "old.jsonl", error)) << error;
    EXPECT_FALSE(again.Open(dir.Path(), error));
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    dir.Write("abc", "abc");
    uint64_t size = 0;
    std::string sha256;
    EXPECT_TRUE(Sha256File(dir.Path() + "abc", size, sha256, error)) << error;
    EXPECT_EQ(sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  }
  {
    TReportFile file;
    std::string error;
    EXPECT_TRUE(file.Open(dir.Path() + "runs.jsonl", error)) << error;
    EXPECT_TRUE(file.Append({}, error)) << error;
  }
  EXPECT_EQ(fcntl(0, F_GETFD), -1);
  dup2(input, 0);
  close(input);
}

// A write that fails (the disk full, the file at its size limit) ends in an error naming the
// file, never in a retry loop, and leaves no piece of the record; a device file is refused.
TEST(ReportFile, FullDiskIsAnError) {
  ScratchDir dir;
  const std::string path = dir.Path() + "runs.jsonl";
  TReportFile file;
  std::string error;
  ASSERT_TRUE(file.Open(path, error)) << error;
  bool written = true;
  ASSERT_TRUE(WithFileSizeLimit(
      16, [&] { written = file.Append(QJsonObject{{"writer", QString(64, 'w')}}, error); }));
  EXPECT_FALSE(written);
  EXPECT_EQ(error, "cannot write the report file " + path + ": File too large");
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  EXPECT_FALSE(file.Open("/dev/full", error));
  EXPECT_EQ(error,
            "cannot write the report file /dev/full: it is a character device, not a regular file");
}

}  // namespace
