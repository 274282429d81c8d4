#include "Gateway.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#if !defined(MINIUPNPC_API_VERSION) || MINIUPNPC_API_VERSION < 14
#error "libminiupnpc API version 14 or later is needed"
#endif

namespace portmap {

namespace {

class TUpnpGateway : public TGateway {
  public:
    TUpnpGateway(UPNPUrls urls, IGDdatas data, std::string lanAddress, std::string description)
        : urls_(urls), data_(data), lan_(std::move(lanAddress)),
          description_(std::move(description)) {}
    ~TUpnpGateway() override { FreeUPNPUrls(&urls_); }

    const char* Method() const override { return "UPnP"; }

    std::optional<TIPv4> PublicAddress(std::string& why, bool&) override {
        char text[64] = {};
        int r = UPNP_GetExternalIPAddress(urls_.controlURL, data_.first.servicetype, text);
        if (r != UPNPCOMMAND_SUCCESS) {
            why = std::string("GetExternalIPAddress: ") + Error(r);
            return std::nullopt;
        }
        text[sizeof text - 1] = 0;
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
    UPNPUrls urls{};
    IGDdatas data{};
    char lan[64] = {};
#if MINIUPNPC_API_VERSION >= 18
    char wan[64] = {};
    int found = UPNP_GetValidIGD(devices, &urls, &data, lan, sizeof lan, wan, sizeof wan);
#else
    int found = UPNP_GetValidIGD(devices, &urls, &data, lan, sizeof lan);
#endif
    freeUPNPDevlist(devices);
    if (found != 1) {
        if (found != 0) FreeUPNPUrls(&urls);
        why = found == 0   ? "no Internet gateway device answered"
              : found == 2 ? "the gateway device says it is not connected"
                           : "the UPnP device is not an Internet gateway";
        return nullptr;
    }
    // The control point must be the device that described itself: a
    // description that sends us elsewhere is not followed.
    if (!urls.controlURL || !urls.rootdescURL ||
        UrlHost(urls.controlURL) != UrlHost(urls.rootdescURL) || UrlHost(urls.controlURL).empty()) {
        FreeUPNPUrls(&urls);
        why = "the gateway's control address is not the gateway";
        return nullptr;
    }
    lan[sizeof lan - 1] = 0;
    return std::make_unique<TUpnpGateway>(urls, data, lan, description);
}

} // namespace portmap
