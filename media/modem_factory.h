// The factory of modem slots: a digital modem on a free point-to-point
// "hdlc" interface when the call names digital data modes, else a DSP
// modem. It reports the modems and free interfaces, and serves the local
// authentication helper: records go to the live modem slot of their
// session, and the slots' answers back to the helper's connection.
#pragma once

#include <iosfwd>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "media/auth_client.h"
#include "runtime/inet4_addr.h"
#include "runtime/multiplexer.h"
#include "server/control/socket_retry.h"
#include "server/slots/slot_factory.h"

class ModemSlot;
class DspModemSlot;
class HdlcModemSlot;

class ModemFactory : public SlotFactory {
public:
    static constexpr char kAuthAddress[] = "127.0.0.1:52000";
    static constexpr int kAuthBacklog = 64;
    // Helper connections served at once. Far above the calls a board
    // carries, each with one helper at most. At the limit a newcomer takes
    // the place of the oldest connection that has had no record taken
    // yet; only when every one has spoken is the newcomer closed at once.
    static constexpr size_t kMaxAuthClients = 64;
    static constexpr int kMaxInterfaces = 256;

    // Scans the devices and listens for the helper on listen (port 0: any).
    explicit ModemFactory(const std::string& listen = kAuthAddress);
    ~ModemFactory() override;

    // The factory that main made (the latest one alive).
    static ModemFactory* instance();

    const char* GetName() const override { return "Modem"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    void Query(LGCP::Resources& resources) override;

    void ReleaseModemSlot(DspModemSlot* slot);
    void ReleaseModemSlot(HdlcModemSlot* slot);

    // A record from a helper, for the slot of its session; true when that
    // slot took it, false when no slot has that session or the slot
    // refused it. What it logs follows the connection's runs (none: every
    // record counts as the first of its run).
    bool OnAuth(const attr& record, Auth::Runs* runs = nullptr);
    // A record for the helper of its session; false when none took it.
    bool SendAuth(const std::string& record);
    // A closed connection whose callbacks are over.
    void RemoveClient(AuthClient* client);

    void IQuery();
    int dsp_modems() const { return mDspModems; }
    const std::vector<std::string>& free_names() const { return mFree; }
    size_t live_slots() const { return mAll.size(); }
    size_t dsp_slots() const { return mDsp.size(); }
    size_t hdlc_slots() const { return mHdlc.size(); }
    size_t clients() const { return mClients.size(); }
    // Where the helper connects; port 0 when nothing listens.
    const INet4::Addr& auth_address() const { return mAuthAddress; }
    // "modem[4,1]: "
    void PutHeader(std::ostream& out) const;

private:
    void Init(const std::string& listen);
    void Listen();
    void ScanModems();
    void ScanInterfaces();
    bool Held(const std::string& name) const;
    void OnSocketEvent(int fd, short revents);
    // Room for a newcomer at the limit: false when every connection spoke.
    bool MakeRoom(const INet4::Addr& peer);

    std::list<DspModemSlot*> mDsp;
    std::list<HdlcModemSlot*> mHdlc;
    std::list<ModemSlot*> mAll;
    int mDspModems = 0;
    Event mListen;
    INet4::Addr mListenAt;
    INet4::Addr mAuthAddress;
    Control::SocketRetry mSockets{this, &ModemFactory::Listen};
    std::list<std::unique_ptr<AuthClient>> mClients;
    // What was logged of the newcomers met at the limit since one was
    // taken below it: one line a run, not one a connection.
    enum class AtLimit { no, evicting, refusing };
    AtLimit mAtLimit = AtLimit::no;
    std::vector<std::string> mFree;
};
