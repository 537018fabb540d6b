#pragma once
// Synchronous hand-off from a receive thread to the user-interface thread
// (the SendMessage semantics of WM_ACK_EVENT and WM_RX_NOTIFY), cancellable
// by the close of the link that owns the gate.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class CSyncGate {
public:
    // Posts a task to the user-interface thread; the host supplies it.
    using PostFn = std::function<void(std::function<void()>)>;

    CSyncGate();

    // Receive thread: runs fn on the user-interface thread through post and
    // waits until it has returned. Returns false, without running fn, when
    // the gate is closed before fn started.
    bool Send(const PostFn& post, std::function<void()> fn);

    // User-interface thread: drops every hand-off that has not started yet
    // and refuses new ones, so a receive thread waiting in Send returns and
    // can be joined. A hand-off already running (a close from inside it)
    // finishes normally.
    void Close();
    // Accepts hand-offs again (the link opens).
    void Open();
    // User-interface thread: true while a hand-off through this gate runs,
    // that is when a close comes from inside a notification of the thread
    // it would join.
    bool InHandOff() const;

private:
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool closed = false;
        int running = 0;
    };
    std::shared_ptr<State> m_state;
};
