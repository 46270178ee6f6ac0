#pragma once
// Named objects through which QuillonProbe.exe's discovery runs report to a test.
// Started / Ended: semaphores released once per run as it starts / ends.
// Hold: a manual-reset event; while it exists and is reset, every run waits on it.
constexpr wchar_t kProbeStarted[] = L"Local\\QuillonProbe.Started";
constexpr wchar_t kProbeEnded[] = L"Local\\QuillonProbe.Ended";
constexpr wchar_t kProbeHold[] = L"Local\\QuillonProbe.Hold";
