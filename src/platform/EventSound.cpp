#include "EventSound.h"

#include "ErrorHandler.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <canberra.h>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

namespace {

std::atomic<TArrivalSound> last{TArrivalSound::None};

// GNOME's switch and theme, read with its own tool where it is installed;
// elsewhere event sounds are on and the theme is libcanberra's default.
struct TDesktopSound {
    bool Enabled = true;
    std::string Theme;
};

std::string GSetting(const char* key) {
    std::string command = "gsettings get org.gnome.desktop.sound ";
    command += key;
    command += " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {};
    char buffer[256];
    std::string out;
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    ::pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

TDesktopSound ReadDesktopSound() {
    TDesktopSound s;
    if (GSetting("event-sounds") == "false") s.Enabled = false;
    std::string theme = GSetting("theme-name");
    if (theme.size() >= 2 && theme.front() == '\'' && theme.back() == '\'')
        s.Theme = theme.substr(1, theme.size() - 2);
    return s;
}

// One thread for the whole program: it owns the libcanberra context, whose
// first connection to the sound server may take its time.
class TSoundThread {
  public:
    static TSoundThread& Instance() {
        // Never destroyed: the thread may be waiting on it when the program ends.
        static TSoundThread* thread = new TSoundThread;
        return *thread;
    }
    void Request() {
        {
            std::lock_guard lock(mutex_);
            ++pending_;
            last = TArrivalSound::None;
        }
        wake_.notify_one();
    }

  private:
    TSoundThread() : worker_([this] { Run(); }) { worker_.detach(); }

    void Run() {
        ca_context* context = nullptr;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return pending_ > 0; });
                pending_ = 0; // a burst of arrivals is one sound
            }
            // The user's switch as it is now; a burst costs one look.
            const TDesktopSound desktop = ReadDesktopSound();
            bool played = false;
            if (desktop.Enabled) {
                if (!context && ca_context_create(&context) != CA_SUCCESS) context = nullptr;
                if (context) {
                    ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "Parlora",
                                            CA_PROP_APPLICATION_ID, "parlora", nullptr);
                    if (!desktop.Theme.empty())
                        ca_context_change_props(context, CA_PROP_CANBERRA_XDG_THEME_NAME,
                                                desktop.Theme.c_str(), nullptr);
                    const int result =
                        ca_context_play(context, 0, CA_PROP_EVENT_ID, "message-new-instant",
                                        CA_PROP_EVENT_DESCRIPTION, "Message arrived", nullptr);
                    played = result == CA_SUCCESS;
                    if (!played) {
                        // No server, or it went away: connect afresh next time.
                        ca_context_destroy(context);
                        context = nullptr;
                    }
                }
            }
            if (!played)
                if (QCoreApplication* app = QCoreApplication::instance())
                    QMetaObject::invokeMethod(
                        app, [] { Beep(); }, Qt::QueuedConnection);
            last = played ? TArrivalSound::EventSound : TArrivalSound::Bell;
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    int pending_ = 0;
    std::thread worker_;
};

} // namespace

void PlayArrivalSound() {
    TSoundThread::Instance().Request();
}

TArrivalSound LastArrivalSound() {
    return last;
}

} // namespace platform
