#include "host_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "host_support.h"
#include "owner.h"
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
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  {
    HandleOwner out(CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(out);
    if (!out) return run;
    testbench::ProcessStart start;
    start.commandLine = L"\"" + ProgramFolder() + L"\\wiahost.exe\" " + arguments;
    start.inheritHandles = true;
    start.startup.dwFlags = STARTF_USESTDHANDLES;
    start.startup.hStdOutput = out.get();
    start.startup.hStdError = out.get();
    PROCESS_INFORMATION process = {};
    const DWORD error = testbench::StartProcess(start, &process);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS)) << "wiahost.exe did not start";
    if (error != ERROR_SUCCESS) return run;
    HandleOwner processHandle(process.hProcess);
    HandleOwner threadHandle(process.hThread);
    const bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
    EXPECT_TRUE(ended) << "wiahost.exe did not end within 60 s";
    if (!ended) EXPECT_TRUE(testbench::EndProcess(process.hProcess, 1));
    GetExitCodeProcess(process.hProcess, &run.exitCode);
  }
  std::vector<BYTE> bytes;
  EXPECT_EQ(S_OK, ReadWholeFile(outputFile, &bytes));
  run.output.assign(bytes.begin(), bytes.end());
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
