#include "Gateway.h"

#include <arpa/inet.h>
#include <chrono>
#include <natpmp.h>
#include <sys/select.h>

namespace portmap {

namespace {

using Clock = std::chrono::steady_clock;

class TPmpGateway : public TGateway {
  public:
    explicit TPmpGateway(natpmp_t pmp) : pmp_(pmp) {}
    ~TPmpGateway() override { closenatpmp(&pmp_); }

    const char* Method() const override { return "NAT-PMP"; }

    // Sends nothing; waits for the answer to the request just sent, within
    // waitMs. Answers from elsewhere than the gateway are dropped by the
    // library and waited past.
    int Await(natpmpresp_t& response, int waitMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            int r = readnatpmpresponseorretry(&pmp_, &response);
            if (r == 0) {
                NoteEpoch(response.epoch);
                return 0;
            }
            if (r != NATPMP_TRYAGAIN && r != NATPMP_ERR_WRONGPACKETSOURCE) return r;
            auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (left.count() <= 0) return NATPMP_TRYAGAIN;
            timeval timeout{};
            if (getnatpmprequesttimeout(&pmp_, &timeout) < 0) return NATPMP_ERR_NOPENDINGREQ;
            long long waitUs = timeout.tv_sec * 1000000LL + timeout.tv_usec;
            if (waitUs > left.count()) waitUs = left.count();
            if (waitUs < 0) waitUs = 0;
            timeout.tv_sec = static_cast<time_t>(waitUs / 1000000);
            timeout.tv_usec = static_cast<suseconds_t>(waitUs % 1000000);
            fd_set fds;
            FD_ZERO(&fds);
            FD_SET(pmp_.s, &fds);
            select(pmp_.s + 1, &fds, nullptr, nullptr, &timeout);
        }
    }

    // Whether the gateway answers a public address request within waitMs.
    bool Answers(int waitMs, std::string& why) {
        natpmpresp_t response{};
        int r = sendpublicaddressrequest(&pmp_);
        if (r >= 0) r = Await(response, waitMs);
        if (r == 0 || r == NATPMP_ERR_NETWORKFAILURE) return true;
        why = "NAT-PMP: " + Text(r);
        return false;
    }

    std::optional<TIPv4> PublicAddress(std::string& why, bool& none) override {
        natpmpresp_t response{};
        int r = sendpublicaddressrequest(&pmp_);
        if (r >= 0) r = Await(response, kWaitMs);
        if (r == NATPMP_ERR_NETWORKFAILURE) {
            why = "NAT-PMP public address: " + Text(r);
            none = true;
            return std::nullopt;
        }
        if (r != 0 || response.type != NATPMP_RESPTYPE_PUBLICADDRESS) {
            why = "NAT-PMP public address: " + Text(r);
            return std::nullopt;
        }
        return ntohl(response.pnu.publicaddress.addr.s_addr);
    }

    TMapAnswer Map(uint16_t internal, uint16_t& external, uint32_t& lease,
                   std::string& why) override {
        // A lifetime of 0 would delete; the router picks another public
        // port by itself when the one asked for is taken.
        natpmpresp_t response{};
        int r = sendnewportmappingrequest(&pmp_, NATPMP_PROTOCOL_TCP, internal,
                                          external ? external : internal, lease ? lease : 1);
        if (r >= 0) r = Await(response, kWaitMs);
        if (r == 0 && (response.type != NATPMP_RESPTYPE_TCPPORTMAPPING ||
                       response.pnu.newportmapping.privateport != internal ||
                       response.pnu.newportmapping.mappedpublicport == 0 ||
                       response.pnu.newportmapping.lifetime == 0)) {
            why = "NAT-PMP mapping: an answer that does not fit the request";
            return TMapAnswer::Refused;
        }
        switch (InterpretPmpResult(r == NATPMP_TRYAGAIN ? -1000 : r)) {
        case TPmpAnswer::Mapped:
            external = response.pnu.newportmapping.mappedpublicport;
            lease = response.pnu.newportmapping.lifetime;
            return TMapAnswer::Mapped;
        case TPmpAnswer::Refused:
            why = "NAT-PMP mapping: " + Text(r);
            return TMapAnswer::Refused;
        case TPmpAnswer::NoAnswer:
            break;
        }
        why = "NAT-PMP mapping: " + Text(r);
        return TMapAnswer::NoAnswer;
    }

    void Unmap(uint16_t internal, uint16_t) override {
        natpmpresp_t response{};
        if (sendnewportmappingrequest(&pmp_, NATPMP_PROTOCOL_TCP, internal, 0, 0) >= 0)
            Await(response, kWaitMs);
    }

    bool TakeRestarted() override {
        bool restarted = restarted_;
        restarted_ = false;
        return restarted;
    }

  private:
    static constexpr int kWaitMs = 2000;

    void NoteEpoch(uint32_t epoch) {
        auto now = Clock::now();
        if (epochSeen_ &&
            PmpEpochRestarted(epoch_, epoch, std::chrono::duration<double>(now - epochAt_).count()))
            restarted_ = true;
        epochSeen_ = true;
        epoch_ = epoch;
        epochAt_ = now;
    }

    static std::string Text(int r) {
        switch (r) {
        case NATPMP_TRYAGAIN:
            return "no answer";
        case NATPMP_ERR_NOGATEWAYSUPPORT:
            return "the gateway does not speak NAT-PMP";
        case NATPMP_ERR_NOTAUTHORIZED:
            return "not authorized";
        case NATPMP_ERR_NETWORKFAILURE:
            return "the gateway has no public address yet";
        case NATPMP_ERR_OUTOFRESOURCES:
            return "the gateway has no room for more mappings";
        case NATPMP_ERR_UNSUPPORTEDVERSION:
            return "unsupported version";
        case NATPMP_ERR_UNSUPPORTEDOPCODE:
            return "unsupported request";
        default:
            return "error " + std::to_string(r);
        }
    }

    natpmp_t pmp_;
    bool epochSeen_ = false;
    bool restarted_ = false;
    uint32_t epoch_ = 0;
    Clock::time_point epochAt_;
};

} // namespace

std::unique_ptr<TGateway> FindPmpGateway(TIPv4 gatewayAddress, int waitMs, std::string& why) {
    natpmp_t pmp{};
    if (initnatpmp(&pmp, 1, htonl(gatewayAddress)) < 0) {
        why = "NAT-PMP: no socket";
        return nullptr;
    }
    // The gateway holds (and closes) the library's state from here on.
    auto gateway = std::make_unique<TPmpGateway>(pmp);
    if (!gateway->Answers(waitMs, why)) return nullptr;
    return gateway;
}

} // namespace portmap
