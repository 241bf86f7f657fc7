// Test helper: the service manager's end of the notification protocol, a Unix datagram socket
// bound in a folder of the test's own, collecting the messages sent to it.
#pragma once

#include <string>
#include <vector>

class NotifyListener {
public:
    // Binds `<folder>/notify`; Path() is "" when that failed.
    explicit NotifyListener(const std::string& folder);
    ~NotifyListener();
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    const std::string& Path() const { return path_; }
    // Reads what has arrived, waiting at most `waitMs` for the first datagram, and returns every
    // message received so far (oldest first).
    const std::vector<std::string>& Collect(int waitMs = 0);
    // Forgets the messages received so far.
    void Clear() { messages_.clear(); }
    // How many of the messages so far are exactly `message`.
    size_t Count(const std::string& message) const;

private:
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> messages_;
};
