#include "Gateway.h"

#include <cstdlib>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/miniwget.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#if !defined(MINIUPNPC_API_VERSION) || MINIUPNPC_API_VERSION < 14
#error "libminiupnpc API version 14 or later is needed"
#endif

namespace portmap {

namespace {

// Real descriptions are a few KiB.
constexpr int kMaxDescription = 256 * 1024;

class TUpnpGateway : public TGateway {
  public:
    TUpnpGateway(UPNPUrls urls, IGDdatas data, std::string lanAddress, std::string description)
        : urls_(urls), data_(data), lan_(std::move(lanAddress)),
          description_(std::move(description)) {}
    ~TUpnpGateway() override { FreeUPNPUrls(&urls_); }

    const char* Method() const override { return "UPnP"; }

    std::optional<TIPv4> PublicAddress(std::string& why, bool& none) override {
        char text[64] = {};
        int r = UPNP_GetExternalIPAddress(urls_.controlURL, data_.first.servicetype, text);
        if (r != UPNPCOMMAND_SUCCESS) {
            why = std::string("GetExternalIPAddress: ") + Error(r);
            return std::nullopt;
        }
        text[sizeof text - 1] = 0;
        // miniupnpd answers with no address when its own is private.
        if (text[0] == 0) {
            why = "GetExternalIPAddress: no address";
            none = true;
            return std::nullopt;
        }
        auto address = ParseIPv4(text);
        if (!address) why = "GetExternalIPAddress: not an IPv4 address";
        return address;
    }

    TMapAnswer Map(uint16_t internal, uint16_t& external, uint32_t& lease,
                   std::string& why) override {
        for (int attempt = 0;;) {
            auto port = attempt == 0 && external ? std::optional<uint16_t>(external)
                                                 : CandidatePort(internal, attempt);
            if (!port) {
                why = "every public port tried is taken";
                return TMapAnswer::PortTaken;
            }
            std::string ext = std::to_string(*port), in = std::to_string(internal),
                        leaseText = std::to_string(permanentOnly_ ? 0 : lease);
            int r = UPNP_AddPortMapping(urls_.controlURL, data_.first.servicetype, ext.c_str(),
                                        in.c_str(), lan_.c_str(), description_.c_str(), "TCP",
                                        nullptr, leaseText.c_str());
            switch (InterpretUpnpAdd(r)) {
            case TUpnpAnswer::Mapped:
                external = *port;
                if (permanentOnly_) lease = 0;
                return TMapAnswer::Mapped;
            case TUpnpAnswer::PermanentLeaseOnly:
                if (permanentOnly_) {
                    why = "AddPortMapping: " + Error(r);
                    return TMapAnswer::Refused;
                }
                permanentOnly_ = true;
                continue;
            case TUpnpAnswer::PortTaken:
                external = 0;
                ++attempt;
                continue;
            case TUpnpAnswer::Refused:
                why = "AddPortMapping: " + Error(r);
                return TMapAnswer::Refused;
            case TUpnpAnswer::NoAnswer:
                why = "AddPortMapping: " + Error(r);
                return TMapAnswer::NoAnswer;
            }
        }
    }

    void Unmap(uint16_t, uint16_t external) override {
        std::string ext = std::to_string(external);
        UPNP_DeletePortMapping(urls_.controlURL, data_.first.servicetype, ext.c_str(), "TCP",
                               nullptr);
    }

  private:
    static std::string Error(int code) {
        const char* text = strupnperror(code);
        return std::to_string(code) + (text ? std::string(" ") + text : std::string());
    }

    UPNPUrls urls_;
    IGDdatas data_;
    std::string lan_;
    std::string description_;
    bool permanentOnly_ = false;
};

} // namespace

std::unique_ptr<TGateway> FindUpnpGateway(int discoverMs, const std::string& description,
                                          std::string& why) {
    int error = 0;
    UPNPDev* devices =
        upnpDiscover(discoverMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
    if (!devices) {
        why = "no UPnP device answered";
        return nullptr;
    }
    // Each answer is checked before anything is sent to the addresses its
    // description names: a description of reasonable size, a WAN connection
    // service, and a control point on the host that gave the description.
    why = "no Internet gateway device answered";
    std::unique_ptr<TGateway> found;
    for (UPNPDev* dev = devices; dev && !found; dev = dev->pNext) {
        int size = 0, status = 0;
        char lan[64] = {};
        char* text = static_cast<char*>(
            miniwget_getaddr(dev->descURL, &size, lan, sizeof lan, dev->scope_id, &status));
        if (!text) continue;
        if (size <= 0 || size > kMaxDescription) {
            std::free(text);
            why = "the gateway's description is empty or too large";
            continue;
        }
        IGDdatas data{};
        parserootdesc(text, size, &data);
        std::free(text);
        std::string type = data.first.servicetype;
        if (type.find("WANIPConnection") == std::string::npos &&
            type.find("WANPPPConnection") == std::string::npos) {
            why = "the UPnP device is not an Internet gateway";
            continue;
        }
        UPNPUrls urls{};
        GetUPNPUrls(&urls, &data, dev->descURL, dev->scope_id);
        std::string control = urls.controlURL ? urls.controlURL : "";
        std::string host = UrlHost(control);
        if (host.empty() || host != UrlHost(dev->descURL)) {
            FreeUPNPUrls(&urls);
            why = "the gateway's control address is not the gateway";
            continue;
        }
        // A gateway that says it is not connected is still taken: behind a
        // second router it names the private address it has, which tells
        // the user why nobody can enter.
        lan[sizeof lan - 1] = 0;
        found = std::make_unique<TUpnpGateway>(urls, data, lan, description);
    }
    freeUPNPDevlist(devices);
    return found;
}

} // namespace portmap
