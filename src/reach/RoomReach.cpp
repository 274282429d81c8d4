#include "RoomReach.h"

#include "session/HostedPort.h"

namespace {
constexpr uint16_t kDefaultDirectoryPort = 47624;
}

TRoomReach::TRoomReach(QObject* parent)
    : QObject(parent), enabled_(portmap::TPortMapper::EnabledByEnvironment()) {}

TRoomReach::~TRoomReach() {
    // The mapper's thread may still post a status to us while it ends; Qt
    // drops what is posted to an object being destroyed.
    mapper_.reset();
}

void TRoomReach::Hosting(uint16_t directoryPort) {
    if (!enabled_) return;
    THostedPort hosted = HostedPort(directoryPort);
    if (hosted.Port == 0) return;
    port_ = hosted.Port;
    // The address carries the port unless it is the one people enter at by default.
    directoryPort_ = directoryPort ? directoryPort : kDefaultDirectoryPort;
    if (!mapper_)
        mapper_ = std::make_unique<portmap::TPortMapper>(
            [this](const portmap::TPortMapStatus& status) {
                QMetaObject::invokeMethod(
                    this,
                    [this, status] {
                        status_ = status;
                        if (OnChanged) OnChanged();
                    },
                    Qt::QueuedConnection);
            },
            portmap::TPortMapper::FromEnvironment());
    mapper_->SetPorts({port_});
}

void TRoomReach::NotHosting() {
    if (mapper_) mapper_->SetPorts({});
}

std::string TRoomReach::OutsideAddress() const {
    return portmap::OutsideAddress(status_, port_, directoryPort_);
}

std::string TRoomReach::ProblemText() const {
    return portmap::ProblemText(status_, port_);
}
