#include "app/qt/QuitSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {
sigset_t QuitSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}
} // namespace

bool CQuitSignals::Block()
{
    const sigset_t set = QuitSet();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

CQuitSignals::CQuitSignals(QObject* parent) : QObject(parent)
{
    const sigset_t set = QuitSet();
    m_fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_fd < 0)
        return;
    m_pNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CQuitSignals::OnReadable);
}

CQuitSignals::~CQuitSignals()
{
    // The notifier (a child) lets go of the descriptor before it closes.
    if (m_pNotifier)
        m_pNotifier->setEnabled(false);
    if (m_fd >= 0)
        ::close(m_fd);
}

void CQuitSignals::OnReadable()
{
    signalfd_siginfo info{};
    while (::read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        emit quitRequested(static_cast<int>(info.ssi_signo));
}
