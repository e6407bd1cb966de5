#include "host_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "host_support.h"
#include "process_start.h"

namespace {

std::vector<ULONG64> CountsOf(const std::string& output, const std::string& message) {
  std::vector<ULONG64> counts;
  std::istringstream lines(output);
  const std::string marker = ": " + message + " percent ";
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(marker);
    const size_t bytes = line.find("ulTransferredBytes ");
    if (at == std::string::npos || bytes == std::string::npos) continue;
    counts.push_back(std::strtoull(line.c_str() + bytes + 19, nullptr, 10));
  }
  return counts;
}

}  // namespace

HostRun RunHost(const std::wstring& arguments, const std::wstring& outputFile) {
  HostRun run;
  testbench::ProcessStart start;
  start.commandLine = L"\"" + ProgramFolder() + L"\\wiahost.exe\" " + arguments;
  const DWORD error =
      testbench::RunWithOutputFile(start, outputFile, 60000, &run.exitCode, &run.output);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS))
      << "wiahost.exe did not start, or did not end within 60 s";
  run.endOfStream = CountsOf(run.output, "END_OF_STREAM");
  run.status = CountsOf(run.output, "STATUS");
  return run;
}

std::wstring CurrentTestFolder(const std::wstring& parent) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  CreateDirectoryW(parent.c_str(), nullptr);
  const std::wstring folder = parent + L"/" + std::wstring(name.begin(), name.end());
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}
