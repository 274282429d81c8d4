#pragma once
// One router that answered, by the protocol it answered with. Every call
// blocks on the router for a few seconds at most; mapper thread only.
#include "PortMapRules.h"

#include <memory>
#include <optional>
#include <string>

namespace portmap {

enum class TMapAnswer { Mapped, PortTaken, Refused, NoAnswer };

class TGateway {
  public:
    virtual ~TGateway() = default;
    virtual const char* Method() const = 0;
    // nullopt and none set: the router answers but has no public address
    // itself (as behind another router).
    virtual std::optional<TIPv4> PublicAddress(std::string& why, bool& none) = 0;
    // Asks for internal -> external for lease seconds; on Mapped, external
    // and lease hold what the router granted.
    virtual TMapAnswer Map(uint16_t internal, uint16_t& external, uint32_t& lease,
                           std::string& why) = 0;
    virtual void Unmap(uint16_t internal, uint16_t external) = 0;
    // True once when the router's answers show it restarted (mappings lost).
    virtual bool TakeRestarted() { return false; }
};

// nullptr when no Internet gateway device answers within discoverMs.
std::unique_ptr<TGateway> FindUpnpGateway(int discoverMs, const std::string& description,
                                          std::string& why);
// nullptr when the gateway does not answer NAT-PMP within waitMs.
std::unique_ptr<TGateway> FindPmpGateway(TIPv4 gateway, int waitMs, std::string& why);

} // namespace portmap
