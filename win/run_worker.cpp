#include "win/run_worker.h"

#include <utility>

namespace qx {

RunWorker::~RunWorker() {
    Join();
}

void RunWorker::Start(std::function<void()> run) {
    running_ = true;
    runFinished_ = false;
    try {
        worker_ = std::thread([this, run = std::move(run), window = window_] {
            try {
                run();
            } catch (...) {
                runFailure_ = std::current_exception();
            }
            runFinished_ = true;
            PostMessageW(window, WM_RUN_DONE, 0, 0);
        });
    } catch (...) {
        running_ = false;
        throw;
    }
}

void RunWorker::CarryToInterfaceThread(const std::function<void()>& call) {
    std::unique_lock lock(callMutex_);
    pendingCall_ = &call;
    callTaken_ = false;
    callDone_ = false;
    lock.unlock();
    // The message carries nothing: the call waits here for the interface thread to take it. Another
    // WM_HOST_CALL may reach the window first and take it; this one then finds nothing, and the wait below
    // lasts until the call has run, wherever it was taken.
    SendMessageW(window_, WM_HOST_CALL, 0, 0);
    lock.lock();
    if (callTaken_) {
        callRan_.wait(lock, [this] { return callDone_; });
    }
    pendingCall_ = nullptr;
}

void RunWorker::OnHostCall() {
    const std::function<void()>* call = nullptr;
    {
        const std::lock_guard lock(callMutex_);
        if (pendingCall_ != nullptr && !callTaken_) {
            call = pendingCall_;
            callTaken_ = true;
        }
    }
    if (call == nullptr) {
        return;
    }
    // Done even when the call throws: its worker must not wait for ever.
    struct Done {
        RunWorker& worker;
        ~Done() {
            {
                const std::lock_guard lock(worker.callMutex_);
                worker.callDone_ = true;
            }
            worker.callRan_.notify_all();
        }
    } done{*this};
    (*call)();
}

bool RunWorker::OnRunDone(std::exception_ptr& failure) {
    // Only the worker's own report ends a run; it says it has finished before it posts it.
    if (!running_ || !runFinished_.exchange(false)) {
        return false;
    }
    if (worker_.joinable()) {
        worker_.join();
    }
    running_ = false;
    failure = std::exchange(runFailure_, nullptr);
    return true;
}

void RunWorker::FinishWhileAnswering(HWND window) {
    while (running_ && window != nullptr && IsWindow(window)) {
        MSG message{};
        if (GetMessageW(&message, window, 0, 0) <= 0) {
            break;
        }
        DispatchMessageW(&message);
    }
}

void RunWorker::Join() {
    if (worker_.joinable()) {
        worker_.join();
    }
}

void CarriedHost::SetStatusText(const std::string& text) {
    worker_.CarryToInterfaceThread([&] { target_.SetStatusText(text); });
}

bool CarriedHost::Confirm(const std::string& text) {
    bool ok = false;
    worker_.CarryToInterfaceThread([&] { ok = target_.Confirm(text); });
    return ok;
}

void CarriedHost::ShowResult(const std::string& text, const std::string& caption, ResultIcon icon) {
    worker_.CarryToInterfaceThread([&] { target_.ShowResult(text, caption, icon); });
}

void HookOnInterfaceThread::CallHookEntry(ProcHandle entry, SocketHandle s) {
    worker_.CarryToInterfaceThread([&] { Inner().CallHookEntry(entry, s); });
}

}  // namespace qx
