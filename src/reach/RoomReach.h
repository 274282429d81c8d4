#pragma once
// Keeps the home router forwarding the port outsiders need while this
// process hosts a room, and tells the owner (on its own thread) what came
// of it: the address outsiders enter at, or why there is none.
#include "portmap/PortMapper.h"

#include <QObject>
#include <functional>
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

    // This process hosts a room now (created, or taken over): the port its
    // rooms are reached on is forwarded. directoryPort 0: the default.
    void Hosting(uint16_t directoryPort);
    // It hosts no room any more: the mapping goes.
    void NotHosting();

    const portmap::TPortMapStatus& Status() const { return status_; }
    // The port forwarded (the directory port or the member port), 0 before Hosting.
    uint16_t Port() const { return port_; }
    // "a.b.c.d" or "a.b.c.d:port"; "" without a working mapping.
    std::string OutsideAddress() const;
    // Japanese, UTF-8; "" unless mapping failed.
    std::string ProblemText() const;

    // The status changed; runs on the thread that owns this object.
    std::function<void()> OnChanged;

  private:
    bool enabled_;
    uint16_t port_ = 0;
    uint16_t directoryPort_ = 0;
    portmap::TPortMapStatus status_;
    std::unique_ptr<portmap::TPortMapper> mapper_;
};
