// SPDX-License-Identifier: MIT
// One window per user and display, as archive managers have it: a start of kavrin while a
// window runs hands its files to that window's queue and ends.
//
// The window listens on a local socket in the user's runtime folder ($XDG_RUNTIME_DIR, else a
// folder of the user's own in the temporary folder), named after the display, so windows on two
// displays of one user stay apart. A start first offers its files there; when no window takes
// the connection, it becomes the window: it removes a socket that a window which ended without
// cleaning up left behind, and listens. A lock file beside the socket serialises these steps,
// so two starts at once never both become the window. A folder that is not the user's own, or
// that others may enter, is never used: the start then runs a window of its own.
//
// The files go over as exact path bytes, in order; the window answers once it has them all, and
// queues them afterwards, so a start never waits for a message box the window shows.
//
// Window thread only; the listening side needs the event loop.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kavrin {

class CInstanceChannel : public QObject {
public:
    enum class Start {
        HandedOver,  // a running window has the files: this start ends
        Listening,   // this start is the window, and takes the files of later starts
        Alone,       // no channel could be used (see Problem()): a window of its own
    };

    // `folder`: where the socket lives; empty means the user's runtime folder.
    explicit CInstanceChannel(std::string folder = {});
    ~CInstanceChannel() override;

    // Offers `files` (absolute paths) to a running window, or listens for later starts.
    Start HandOverOrListen(const std::vector<std::string>& files);
    // Why the channel could not be used, for the user; empty when nothing went wrong.
    const std::string& Problem() const { return m_problem; }
    // Receives the files of each later start, in their order (Listening only); files that came
    // before a receiver was set are handed to it now.
    void OnFiles(std::function<void(std::vector<std::string>)> receive);

    // The socket's path under `folder`, from the display's name in the environment.
    static std::string SocketPath(const std::string& folder);
    // The user's runtime folder, created when it is the fallback; empty when no folder that is
    // safe to use exists, with the reason in `problem`.
    static std::string RuntimeFolder(std::string* problem);
    // True when `folder` is a real folder (not a link) of this user that nobody else may enter.
    static bool IsPrivateFolder(const std::string& folder);

private:
    enum class Offer { Taken, NoWindow, NoAnswer };
    // Offers the files to a window listening at `socketPath`.
    Offer HandOver(const std::string& socketPath, const std::vector<std::string>& files);
    void OnConnection();
    // Hands received files to the receiver, or keeps them until there is one.
    void Deliver(std::vector<std::string> files);

    std::string m_folder;
    std::string m_problem;
    std::unique_ptr<QLocalServer> m_server;
    std::function<void(std::vector<std::string>)> m_receive;
    std::vector<std::vector<std::string>> m_pending;
};

}  // namespace kavrin
