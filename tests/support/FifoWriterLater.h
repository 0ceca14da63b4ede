// For tests of readers that must never wait on a FIFO.
#pragma once

#include <QFile>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

// Opens a FIFO for writing after a long while, unless cancelled first: a
// reader stuck on it then gets its end of file.
class FifoWriterLater {
public:
    explicit FifoWriterLater(const QString &fifo)
    {
        if (fifo.isEmpty())
            return;
        thread_ = std::thread([this, path = QFile::encodeName(fifo)] {
            std::unique_lock lock(mutex_);
            if (cv_.wait_for(lock, std::chrono::seconds(20), [this] { return cancelled_; }))
                return;
            const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
        });
    }
    ~FifoWriterLater() { cancel(); }
    void cancel()
    {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool cancelled_ = false;
    std::thread thread_;
};
