// A run of the mode switch off the interface thread, so the window keeps painting and answering while the
// link works, and the hand-over that carries the run's host calls (status text, boxes, the hook library's
// entry) to the interface thread, which owns the window, and waits there until each is done.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "app/mode_switch.h"
#include "link/forwarding_calls.h"

namespace qx {

// Private messages of the window that owns a RunWorker. WM_HOST_CALL asks the interface thread to run the
// call the worker has left and waits for; without one it does nothing. WM_RUN_DONE ends a run once the worker
// has said it finished. Neither carries anything in its parameters, so another program that posts them
// changes nothing.
inline constexpr UINT WM_HOST_CALL = WM_APP + 1;
inline constexpr UINT WM_RUN_DONE = WM_APP + 2;

class RunWorker {
  public:
    RunWorker() = default;
    ~RunWorker();
    RunWorker(const RunWorker&) = delete;
    RunWorker& operator=(const RunWorker&) = delete;

    // The window the host calls and the end of a run are carried to; set once, before the first run.
    void SetWindow(HWND window) { window_ = window; }
    // On the interface thread only.
    bool Running() const { return running_; }

    // Starts `run` on a worker thread; the window gets WM_RUN_DONE when it has finished.
    void Start(std::function<void()> run);
    // Runs `call` on the interface thread and returns when it has run; from the interface thread itself it
    // runs at once. A window that is gone runs nothing.
    void CarryToInterfaceThread(const std::function<void()>& call);

    // The window's handling of WM_HOST_CALL: runs the call the worker waits on, if there is one.
    void OnHostCall();
    // The window's handling of WM_RUN_DONE: true when it really ended the run (the worker had said it
    // finished); the worker is then joined, and `failure` holds an exception that escaped the run.
    bool OnRunDone(std::exception_ptr& failure);
    // Answers the window's messages until a run still under way has ended (for a window about to go: the
    // run's host calls need the interface thread until then).
    void FinishWhileAnswering(HWND window);
    // Waits for the worker thread, if there is one, to end.
    void Join();

  private:
    HWND window_ = nullptr;
    // The host call a worker waits on. The worker sets it; the interface thread takes it once, runs it and
    // says so.
    std::mutex callMutex_;
    std::condition_variable callRan_;
    const std::function<void()>* pendingCall_ = nullptr;
    bool callTaken_ = false;
    bool callDone_ = false;
    // One worker thread at a time. The interface thread alone reads and writes running_.
    std::thread worker_;
    bool running_ = false;
    // Set by the worker before it reports the run's end; read after joining it.
    std::exception_ptr runFailure_;
    // Set by the worker as its last act: only then does WM_RUN_DONE end the run.
    std::atomic<bool> runFinished_{false};
};

// The mode switch's host as the worker thread sees it: every call is carried to `target` on the interface
// thread. A window that is gone answers nothing: the call is dropped and a confirmation counts as Cancel.
class CarriedHost final : public ModeSwitchHost {
  public:
    CarriedHost(RunWorker& worker, ModeSwitchHost& target) : worker_(worker), target_(target) {}

    void SetStatusText(const std::string& text) override;
    bool Confirm(const std::string& text) override;
    void ShowResult(const std::string& text, const std::string& caption, ResultIcon icon) override;

  private:
    RunWorker& worker_;
    ModeSwitchHost& target_;
};

// The socket calls as the window's run makes them: the hook library's entry is called on the interface
// thread, whichever thread runs the link, as it always was; everything else passes unchanged.
class HookOnInterfaceThread final : public ForwardingCalls {
  public:
    HookOnInterfaceThread(SocketCalls& inner, RunWorker& worker) : ForwardingCalls(inner), worker_(worker) {}

    void CallHookEntry(ProcHandle entry, SocketHandle s) override;

  private:
    RunWorker& worker_;
};

}  // namespace qx
