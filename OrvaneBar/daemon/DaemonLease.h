// The application's lease on the fans it forces: one connection to the control daemon,
// held with "hold" for as long as the application runs. The daemon hands back the fans
// this user forced while the lease was open when the lease ends without the application's
// Quit (the application was killed or crashed) and no new one comes within its grace
// period.
//
// The lease never starts a daemon: it is taken when a daemon is there, taken again
// whenever it is lost (the daemon stopped or was restarted by the service manager), and
// asked for at once before every write. Everything runs on the main thread without
// blocking: the connect is immediate on a Unix socket, and the reply is read when it
// arrives.
#pragma once

#include <QObject>
#include <chrono>
#include <string>

#include "DaemonClient.h"

class QSocketNotifier;
class QTimer;

class DaemonLease : public QObject {
  public:
    struct Timing {
        // How often a lease that is not held is asked for again.
        std::chrono::milliseconds retry{2000};
        // After a refusal (an error reply: a busy daemon, or one that has no leases).
        std::chrono::milliseconds refusedRetry{30'000};
        // How long a reply may take before the connection is given up and tried again.
        std::chrono::milliseconds replyLimit{10'000};
    };

    explicit DaemonLease(DaemonClient client, QObject* parent = nullptr)
        : DaemonLease(std::move(client), Timing(), parent) {}
    DaemonLease(DaemonClient client, Timing timing, QObject* parent = nullptr);
    ~DaemonLease() override;

    // Asks for the lease now and keeps it from then on.
    void start();
    // Asks for the lease now unless it is held or already asked for.
    void takeNow();
    // Ends the lease and asks for none any more.
    void stop();

    // The daemon granted the lease and the connection is open.
    bool held() const { return state_ == State::held; }

  private:
    enum class State { stopped, waiting, asking, held };

    void readReply();
    // Closes the connection; the lease is asked for again after `nextTry`.
    void drop(std::chrono::milliseconds nextTry);

    DaemonClient client_;
    Timing timing_;
    State state_ = State::stopped;
    int fd_ = -1;
    std::string received_;
    QTimer* timer_;
    QSocketNotifier* notifier_ = nullptr;  // watches fd_
};
