#pragma once
// SIGTERM and SIGHUP (a logout, a service stop) delivered on the
// user-interface thread through a signalfd, so that the window's ordinary
// close runs for them instead of code limited to what a signal handler may
// call. Linux only; another system gets its own file.
#include <QObject>

class QSocketNotifier;

class CQuitSignals : public QObject {
    Q_OBJECT
public:
    // Blocks the two signals in the calling thread. Called before any other
    // thread starts, so that every thread inherits the mask and the signals
    // wait for the signalfd. True on success.
    static bool Block();

    // Watches the blocked signals; IsWatching() is false when the signalfd
    // could not be made (the signals then stay blocked and are ignored).
    explicit CQuitSignals(QObject* parent = nullptr);
    ~CQuitSignals() override;
    CQuitSignals(const CQuitSignals&) = delete;
    CQuitSignals& operator=(const CQuitSignals&) = delete;
    bool IsWatching() const { return m_fd >= 0; }

signals:
    void quitRequested(int signo);

private:
    void OnReadable();

    int m_fd = -1;
    QSocketNotifier* m_pNotifier = nullptr;
};
