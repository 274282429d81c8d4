#pragma once
// Keeps the home router forwarding the ports outsiders need while this
// process hosts rooms, and tells its subscribers (on the thread that owns
// it) what came of it: the address outsiders enter at, or why there is none.
#include "portmap/PortMapper.h"

#include <QObject>
#include <functional>
#include <map>
#include <memory>
#include <string>

class TRoomReach : public QObject {
  public:
    explicit TRoomReach(QObject* parent = nullptr);
    // Removes the mappings (waits for the router a few seconds at most).
    ~TRoomReach() override;

    // False when port mapping is turned off ($PARLORA_PORTMAP=0 or by the owner).
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled) { enabled_ = enabled; }

    // `room` (any key: a window, a session) hosts a room now, created or
    // taken over, on directoryPort (0: the default): the port its room is
    // reached on is forwarded.
    void Hosting(const void* room, uint16_t directoryPort);
    // It hosts no room any more; the forwarding goes with the last one.
    void NotHosting(const void* room);
    bool IsHosting(const void* room) const { return rooms_.count(room) != 0; }

    const portmap::TPortMapStatus& Status() const { return status_; }
    // "a.b.c.d" or "a.b.c.d:port" for the room (the first hosted one when
    // null); "" without a working mapping.
    std::string OutsideAddress(const void* room = nullptr) const;
    // Japanese, UTF-8; "" unless mapping failed.
    std::string ProblemText(const void* room = nullptr) const;

    // Called whenever the status changed; returns a key for Unsubscribe.
    int Subscribe(std::function<void()> onChanged);
    void Unsubscribe(int key);

  private:
    struct Room {
        uint16_t DirectoryPort = 0; // as asked for (0: default)
        uint16_t Port = 0;          // the port forwarded for it
    };
    const Room* Find(const void* room) const;
    // Which port each room needs can change as processes come and go on
    // the directory port: checked again and handed to the mapper.
    void Refresh();

    bool enabled_;
    std::map<const void*, Room> rooms_;
    portmap::TPortMapStatus status_;
    std::map<int, std::function<void()>> subscribers_;
    int nextKey_ = 1;
    std::unique_ptr<portmap::TPortMapper> mapper_;
};
