// The monitor running on a thread of the test, as the service runs it.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "monitor.h"

class MonitorRun {
public:
    // Starts MonitorSessionSetting with the given options after the program
    // name. staleLastError is left in the thread's last-error value first.
    explicit MonitorRun(std::initializer_list<const wchar_t *> options, bool stopEventSignalled = false,
                        DWORD staleLastError = 0)
        : arguments_{L"lindquell.exe"}, staleLastError_(staleLastError)
    {
        arguments_.insert(arguments_.end(), options.begin(), options.end());
        for (auto &argument : arguments_)
            argv_.push_back(argument.data());
        argv_.push_back(nullptr);
        stop_ = CreateEventW(nullptr, TRUE, stopEventSignalled, nullptr);
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }

    ~MonitorRun()
    {
        if (WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT)
            Stop();
        CloseHandle(thread_);
        CloseHandle(stop_);
    }

    // True when the monitor returned within the time; *result is its code.
    bool Finished(DWORD ms, DWORD *result)
    {
        if (WaitForSingleObject(thread_, ms) != WAIT_OBJECT_0)
            return false;
        GetExitCodeThread(thread_, result);
        return true;
    }

    // Signals the stop event; returns the monitor's result, or
    // STILL_ACTIVE when it did not return within five seconds.
    DWORD Stop()
    {
        SetEvent(stop_);
        DWORD result = STILL_ACTIVE;
        Finished(5000, &result);
        return result;
    }

    // The most CPU time a monitor at rest, or one that made a pass or two,
    // may be charged: 30 ms, or two of the clock's steps where they are
    // coarser. Windows charges thread time in whole steps of the clock
    // interrupt (about 15.6 ms; GetThreadTimes, GetSystemTimeAdjustment on
    // Microsoft Learn), so one pass can cost a whole step. A loop of writes
    // costs the whole time it is watched.
    static ULONGLONG RestingCpuBound()
    {
        DWORD adjustment = 0, increment = 0;
        BOOL disabled = FALSE;
        ULONGLONG twoSteps = 0;
        if (GetSystemTimeAdjustment(&adjustment, &increment, &disabled))
            twoSteps = 2ull * increment / 10000 + 1;
        return twoSteps > 30 ? twoSteps : 30;
    }

    // CPU time the monitor's thread has used so far.
    ULONGLONG CpuMilliseconds() const
    {
        FILETIME created, exited, kernel, user;
        if (!GetThreadTimes(thread_, &created, &exited, &kernel, &user))
            return 0;
        ULARGE_INTEGER k = {{kernel.dwLowDateTime, kernel.dwHighDateTime}};
        ULARGE_INTEGER u = {{user.dwLowDateTime, user.dwHighDateTime}};
        return (k.QuadPart + u.QuadPart) / 10000;
    }

private:
    static DWORD WINAPI Run(void *context)
    {
        auto self = static_cast<MonitorRun *>(context);
        SetLastError(self->staleLastError_);
        return MonitorSessionSetting(static_cast<int>(self->arguments_.size()), self->argv_.data(), self->stop_);
    }

    std::vector<std::wstring> arguments_;
    std::vector<wchar_t *> argv_;
    DWORD staleLastError_;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
};
