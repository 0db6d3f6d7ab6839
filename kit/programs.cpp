// Running one test program's tests, each in a process of its own, and
// judging and reporting on what they printed.
#include "kit.h"

#include "testbed.h"

#include <cstdarg>
#include <cstdio>

namespace kit {

void Say(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    fflush(stdout);
}

std::string Narrow(const std::wstring &text)
{
    std::string result;
    for (wchar_t c : text)
        result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
}

std::wstring Wide(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

std::wstring ErrorText(DWORD error)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring result = L"error " + std::to_wstring(error);
    if (text) {
        std::wstring message = text;
        LocalFree(text);
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
            message.pop_back();
        result += L": " + message;
    }
    return result;
}

Run RunProgram(const std::wstring &commandLine, const std::wstring &directory, const std::wstring &outputFile)
{
    Run run;
    // Uninheritable: StartPassingOnly lets the child inherit them alone.
    HANDLE output = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    if (output == INVALID_HANDLE_VALUE || nul == INVALID_HANDLE_VALUE) {
        run.error = GetLastError();
        if (output != INVALID_HANDLE_VALUE)
            CloseHandle(output);
        if (nul != INVALID_HANDLE_VALUE)
            CloseHandle(nul);
        return run;
    }
    PROCESS_INFORMATION process = {};
    const DWORD start = testbed::Milliseconds();
    if (testbed::StartPassingOnly(nullptr, commandLine, directory.c_str(), 0, nul, output, {output, nul}, &process)) {
        run.started = true;
        if (WaitForSingleObject(process.hProcess, TestTimeoutMs) != WAIT_OBJECT_0) {
            run.timedOut = true;
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 10000);
        }
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        run.error = GetLastError();
    }
    run.seconds = (testbed::Milliseconds() - start) / 1000.0;
    CloseHandle(nul);
    CloseHandle(output);

    HANDLE written = CreateFileW(outputFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (written != INVALID_HANDLE_VALUE) {
        char buffer[8192];
        DWORD read;
        while (ReadFile(written, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            run.output.append(buffer, read);
        CloseHandle(written);
    }
    return run;
}

static std::string Xml(const std::string &text)
{
    std::string escaped;
    for (unsigned char c : text) {
        if (c == '&')
            escaped += "&amp;";
        else if (c == '<')
            escaped += "&lt;";
        else if (c == '>')
            escaped += "&gt;";
        else if (c == '"')
            escaped += "&quot;";
        else if (c == '\t' || c == '\n' || (c >= 0x20 && c < 0x7f))
            escaped += static_cast<char>(c);
        else if (c != '\r')
            escaped += '?';
    }
    return escaped;
}

Tally WriteReport(const std::wstring &file, const std::string &suite, const std::vector<Result> &results)
{
    Tally tally;
    double seconds = 0;
    std::string cases;
    for (const Result &result : results) {
        tally.Count(result.verdict);
        seconds += result.seconds;
        const size_t dot = result.name.find('.');
        cases += "  <testcase classname=\"" + Xml(suite + "." + result.name.substr(0, dot)) + "\" name=\"" +
                 Xml(dot == std::string::npos ? result.name : result.name.substr(dot + 1)) + "\" time=\"" +
                 std::to_string(result.seconds) + "\"";
        if (result.verdict == Verdict::Passed) {
            cases += "/>\n";
            continue;
        }
        const char *element = result.verdict == Verdict::Skipped ? "skipped" : "failure";
        cases += ">\n    <" + std::string(element) + " message=\"" + Xml(result.message) + "\"/>\n";
        if (!result.output.empty())
            cases += "    <system-out>" + Xml(result.output) + "</system-out>\n";
        cases += "  </testcase>\n";
    }
    FILE *out = _wfopen(file.c_str(), L"wb");
    if (out) {
        fprintf(out,
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuite name=\"%s\" tests=\"%zu\" failures=\"%d\" "
                "errors=\"0\" skipped=\"%d\" time=\"%f\">\n%s</testsuite>\n",
                Xml(suite).c_str(), results.size(), tally.failed, tally.skipped, seconds, cases.c_str());
        fclose(out);
    }
    return tally;
}

void Show(const Result &result)
{
    switch (result.verdict) {
    case Verdict::Passed:
        Say("  passed   %s (%.1f s)\n", result.name.c_str(), result.seconds);
        break;
    case Verdict::Skipped:
        Say("  skipped  %s: %s\n", result.name.c_str(), result.message.c_str());
        break;
    case Verdict::Failed:
        Say("  FAILED   %s: %s\n%s\n", result.name.c_str(), result.message.c_str(), result.output.c_str());
        break;
    }
}

static std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> ParseTestList(const std::string &output)
{
    std::vector<std::string> names;
    std::string suite;
    for (const std::string &line : Lines(output)) {
        if (line.size() > 2 && line.compare(0, 2, "  ") == 0 && line[2] != ' ') {
            if (!suite.empty())
                names.push_back(suite + line.substr(2, line.find_first_of(" #", 2) - 2));
        } else if (!line.empty() && line[0] != ' ') {
            const std::string first = line.substr(0, line.find(' '));
            suite = first.size() > 1 && first.back() == '.' ? first : "";
        }
    }
    return names;
}

Result Judge(const std::string &name, const Run &run)
{
    Result result;
    result.name = name;
    result.seconds = run.seconds;
    bool ok = false, skipped = false;
    std::string reason;
    bool inSkip = false;
    // GoogleTest's line for the test: its name, then the time or nothing.
    const auto about = [&name](const std::string &line, const char *tag) {
        const std::string start = tag + name;
        return line == start || line.compare(0, start.size() + 1, start + " ") == 0;
    };
    for (const std::string &line : Lines(run.output)) {
        if (about(line, "[       OK ] "))
            ok = true;
        if (about(line, "[  SKIPPED ] ")) {
            skipped = true;
            inSkip = false;
        }
        if (inSkip)
            reason += (reason.empty() ? "" : " ") + line;
        if (line.size() >= 9 && line.compare(line.size() - 9, 9, ": Skipped") == 0)
            inSkip = true;
    }
    if (!run.started) {
        result.message = "did not start: " + Narrow(ErrorText(run.error));
    } else if (run.timedOut) {
        result.message = "did not end within " + std::to_string(TestTimeoutMs / 1000) + " s";
    } else if (run.exitCode == 0 && skipped) {
        result.verdict = Verdict::Skipped;
        result.message = reason.empty() ? "skipped" : reason;
        return result;
    } else if (run.exitCode == 0 && ok) {
        result.verdict = Verdict::Passed;
        return result;
    } else {
        result.message = "exit code " + std::to_string(run.exitCode);
    }
    result.output = run.output;
    return result;
}

} // namespace kit
