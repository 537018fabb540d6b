#include "link/SyncGate.h"

namespace {
struct Call {
    std::function<void()> fn;
    bool started = false;
    bool done = false;
    bool dropped = false;
};
} // namespace

CSyncGate::CSyncGate() : m_state(std::make_shared<State>())
{
}

bool CSyncGate::Send(const PostFn& post, std::function<void()> fn)
{
    auto state = m_state;
    auto call = std::make_shared<Call>();
    call->fn = std::move(fn);
    {
        std::lock_guard lock(state->mutex);
        if (state->closed)
            return false;
    }
    post([state, call] {
        {
            std::lock_guard lock(state->mutex);
            if (call->dropped)
                return;
            call->started = true;
            ++state->running;
        }
        call->fn();
        {
            std::lock_guard lock(state->mutex);
            --state->running;
            call->done = true;
        }
        state->cv.notify_all();
    });
    std::unique_lock lock(state->mutex);
    state->cv.wait(lock, [&] { return call->done || (state->closed && !call->started); });
    if (!call->done) {
        call->dropped = true;
        return false;
    }
    return true;
}

void CSyncGate::Close()
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->closed = true;
    }
    m_state->cv.notify_all();
}

void CSyncGate::Open()
{
    std::lock_guard lock(m_state->mutex);
    m_state->closed = false;
}

bool CSyncGate::InHandOff() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->running > 0;
}
