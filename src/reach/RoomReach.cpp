#include "RoomReach.h"

#include "session/HostedPort.h"

#include <QTimer>

namespace {
constexpr uint16_t kDefaultDirectoryPort = 47624;
// A successor binds the directory port a moment after it hears it is host.
constexpr int kRecheckMs = 1500;
} // namespace

TRoomReach::TRoomReach(QObject* parent)
    : QObject(parent), enabled_(portmap::TPortMapper::EnabledByEnvironment()) {}

TRoomReach::~TRoomReach() {
    // The mapper's thread may still post a status to us while it ends; Qt
    // drops what is posted to an object being destroyed.
    mapper_.reset();
}

void TRoomReach::Hosting(const void* room, uint16_t directoryPort) {
    if (!enabled_) return;
    rooms_[room].DirectoryPort = directoryPort;
    if (!mapper_)
        mapper_ = std::make_unique<portmap::TPortMapper>(
            [this](const portmap::TPortMapStatus& status) {
                QMetaObject::invokeMethod(
                    this,
                    [this, status] {
                        status_ = status;
                        auto subscribers = subscribers_;
                        for (auto& [key, call] : subscribers)
                            if (subscribers_.count(key)) call();
                    },
                    Qt::QueuedConnection);
            },
            portmap::TPortMapper::FromEnvironment());
    Refresh();
    QTimer::singleShot(kRecheckMs, this, [this] { Refresh(); });
}

void TRoomReach::NotHosting(const void* room) {
    if (rooms_.erase(room)) Refresh();
}

void TRoomReach::Refresh() {
    if (!mapper_) return;
    std::vector<uint16_t> ports;
    for (auto& [key, room] : rooms_) {
        room.Port = HostedPort(room.DirectoryPort).Port;
        if (room.Port) ports.push_back(room.Port);
    }
    mapper_->SetPorts(ports);
}

const TRoomReach::Room* TRoomReach::Find(const void* room) const {
    if (room) {
        auto it = rooms_.find(room);
        return it == rooms_.end() ? nullptr : &it->second;
    }
    return rooms_.empty() ? nullptr : &rooms_.begin()->second;
}

std::string TRoomReach::OutsideAddress(const void* key) const {
    const Room* room = Find(key);
    if (!room) return {};
    // The address carries the port unless it is the one people enter at by default.
    uint16_t directory = room->DirectoryPort ? room->DirectoryPort : kDefaultDirectoryPort;
    return portmap::OutsideAddress(status_, room->Port, directory);
}

std::string TRoomReach::ProblemText(const void* key) const {
    const Room* room = Find(key);
    return room ? portmap::ProblemText(status_, room->Port) : std::string();
}

int TRoomReach::Subscribe(std::function<void()> onChanged) {
    subscribers_[nextKey_] = std::move(onChanged);
    return nextKey_++;
}

void TRoomReach::Unsubscribe(int key) {
    subscribers_.erase(key);
}
