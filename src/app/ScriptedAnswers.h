#pragma once
// The answers a test or a scripted run queues for the dialogs a host would
// otherwise show (the file to open, Yes or No); a dialog that finds none
// takes its default. Used on the user-interface thread only.
#include <deque>
#include <utility>

template <class T> class CScriptedAnswers {
public:
    void Queue(T answer) { m_answers.push_back(std::move(answer)); }
    // The next queued answer, or fallback when none is left.
    T Take(T fallback)
    {
        if (m_answers.empty())
            return fallback;
        T answer = std::move(m_answers.front());
        m_answers.pop_front();
        return answer;
    }

private:
    std::deque<T> m_answers;
};
