// Text form of a LEMZ packet record, and the comparisons built on it.
#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "radio/sig_proto.h"

namespace {

// Appends formatted text and never writes past size - 1 characters and the
// terminating zero; the length counts what the buffer holds.
class Text {
public:
    Text(char* out, long size) : mOut(out), mSize(size) { mOut[0] = '\0'; }

    __attribute__((format(printf, 2, 3))) void add(char const* format, ...)
    {
        if (mLength >= mSize - 1)
            return;
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(mOut + mLength, static_cast<size_t>(mSize - mLength), format, args);
        va_end(args);
        if (n > 0)
            mLength = mLength + n < mSize - 1 ? mLength + n : mSize - 1;
    }
    int length() const { return static_cast<int>(mLength); }

private:
    char* mOut;
    long mSize;
    long mLength = 0;
};

void print_header(Text& t, sig_proto const& r, int mode)
{
    char const* name = sig_proto_find_name_by_id(sig_proto_packet_const_name, static_cast<int>(r.type));
    if ((mode & SIG_PROTO_PRINT_TYPE_NAME) && name)
        t.add("type      : %s,\n", name);
    else if (mode & (SIG_PROTO_PRINT_TYPE_NAME | SIG_PROTO_PRINT_TYPE_NUMBER))
        t.add("type      : 0x%08lX,\n", static_cast<unsigned long>(r.type));
    t.add("flag_t   : %lu,\n", static_cast<unsigned long>(r.flag_t));
    t.add("flag_p   : %lu,\n", static_cast<unsigned long>(r.flag_p));
    t.add("flag_r   : %lu,\n", static_cast<unsigned long>(r.flag_r));
    t.add("flag_s   : %lu,\n", static_cast<unsigned long>(r.flag_s));
    t.add("flag_b   : %lu,\n", static_cast<unsigned long>(r.flag_b));
    t.add("flag_rv  : %lu,\n", static_cast<unsigned long>(r.flag_rv));
    t.add("flag_sh  : %lu,\n", static_cast<unsigned long>(r.flag_sh));
    t.add("flag_rs  : %lu,\n", static_cast<unsigned long>(r.flag_rs));
    t.add("flag_pw  : %lu,\n", static_cast<unsigned long>(r.flag_pw));
    t.add("flag_c   : %lu,\n", static_cast<unsigned long>(r.flag_c));
    if (!(mode & SIG_PROTO_PRINT_FLAGS_ONLY)) {
        t.add("priority : %lu,\n", static_cast<unsigned long>(r.priority));
        t.add("status   : %lu,\n", static_cast<unsigned long>(r.status));
    }
}

void print_text(Text& t, char const* prefix, uint8_t n, char const* text)
{
    t.add("%s.callerID_length: %d,\n", prefix, n);
    t.add("%s.callerID : \n", prefix);
    for (int i = 0; i < n; ++i)
        t.add("[%d] : 0x%02X,\n", i, static_cast<unsigned char>(text[i]));
}

void print_addr(Text& t, char const* prefix, in_addr a, uint32_t ssrc)
{
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, dotted, sizeof dotted);
    t.add("%s.session_addr : %s,\n", prefix, dotted);
    t.add("%s.ssrc         : 0x%08lX,\n", prefix, static_cast<unsigned long>(ssrc));
}

void print_none(Text&, sig_proto const&) {}

void print_gw_adjust_chan(Text& t, sig_proto const& r)
{
    t.add("gw_adjust_chan.id   : %lu,\n", static_cast<unsigned long>(r.payload.gw_adjust_chan.id));
    t.add("gw_adjust_chan.freq : %4.4f,\n", static_cast<double>(r.payload.gw_adjust_chan.freq));
}

void print_gw_sel_call(Text& t, sig_proto const& r)
{
    print_text(t, "gw_sel_call", r.payload.gw_sel_call.callerID_length, r.payload.gw_sel_call.callerID);
}

void print_gw_select_rc_chan(Text& t, sig_proto const& r)
{
    t.add("gw_select_rc_chan.interface : %d,\n", r.payload.gw_select_rc_chan.interface);
    t.add("gw_select_rc_chan.channel   : %d,\n", r.payload.gw_select_rc_chan.channel);
}

void print_gw_adjust_squelsh(Text& t, sig_proto const& r)
{
    t.add("gw_adjust_squelsh.squelsh   : %d,\n", r.payload.gw_adjust_squelsh.squelsh);
}

void print_gw_adjust_rte(Text& t, sig_proto const& r)
{
    t.add("gw_adjust_rte.rte   : %d,\n", r.payload.gw_adjust_rte.rte);
}

void print_gw_adjust_standby(Text& t, sig_proto const& r)
{
    t.add("gw_adjust_standby.state   : %d,\n", r.payload.gw_adjust_standby.state);
}

void print_wm_trans(Text& t, sig_proto const& r)
{
    print_addr(t, "wm_trans", r.payload.wm_trans.session_addr, r.payload.wm_trans.ssrc);
}

void print_wm_radio_quality(Text& t, sig_proto const& r)
{
    t.add("wm_radio_quality.radio_quality : %4.5f,\n", static_cast<double>(r.payload.wm_radio_quality.radio_quality));
}

void print_wm_chan(Text& t, sig_proto const& r)
{
    t.add("wm_chan.id   : %lu,\n", static_cast<unsigned long>(r.payload.wm_chan.id));
    t.add("wm_chan.freq : %4.4f,\n", static_cast<double>(r.payload.wm_chan.freq));
    t.add("wm_chan.squelsh : %d,\n", r.payload.wm_chan.squelsh);
    t.add("wm_chan.rte     : %d,\n", r.payload.wm_chan.rte);
}

void print_wm_sel_call_trans(Text& t, sig_proto const& r)
{
    auto const& v = r.payload.wm_sel_call_trans;
    print_addr(t, "wm_sel_call_trans", v.session_addr, v.ssrc);
    print_text(t, "wm_sel_call_trans", v.callerID_length, v.callerID);
}

void print_wm_select_rc_chan(Text& t, sig_proto const& r)
{
    t.add("wm_select_rc_chan.interface : %d,\n", r.payload.wm_select_rc_chan.interface);
    t.add("wm_select_rc_chan.channel   : %d,\n", r.payload.wm_select_rc_chan.channel);
}

void print_wm_standby(Text& t, sig_proto const& r)
{
    t.add("wm_standby.state           : %d,\n", r.payload.wm_standby.state);
    t.add("wm_standby.group           : %d,\n", r.payload.wm_standby.group);
    t.add("wm_standby.receiver_state  : %d,\n", r.payload.wm_standby.receiver_state);
}

using Printer = void (*)(Text&, sig_proto const&);

struct PrinterEntry {
    uint32_t type;
    Printer payload;
};

// One printer per type 0 to 13 and 129 to 135.
const PrinterEntry sig_proto_sprintf_table[] = {
    {0, print_none},
    {GW_FLAG, print_none},
    {GW_ADJUST_CHAN, print_gw_adjust_chan},
    {GW_FLAG_PTT, print_none},
    {GW_FLAG_BSS, print_none},
    {GW_FLAG_RV, print_none},
    {GW_FLAG_SH, print_none},
    {GW_FLAG_PW, print_none},
    {GW_FLAG_RS, print_none},
    {GW_SEL_CALL, print_gw_sel_call},
    {GW_SELECT_RC_CHAN, print_gw_select_rc_chan},
    {GW_ADJUST_SQUELSHE, print_gw_adjust_squelsh},
    {GW_ADJUST_RTE, print_gw_adjust_rte},
    {GW_ADJUST_STANDBY, print_gw_adjust_standby},
    {WM_FLAG, print_none},
    {WM_TRANS, print_wm_trans},
    {WM_RADIO_QUALITY, print_wm_radio_quality},
    {WM_CHAN, print_wm_chan},
    {WM_SEL_CALL_TRANS, print_wm_sel_call_trans},
    {WM_SELECT_RC_CHAN, print_wm_select_rc_chan},
    {WM_STANDBY, print_wm_standby},
};

Printer find_printer(uint32_t type)
{
    for (auto const& e : sig_proto_sprintf_table)
        if (e.type == type)
            return e.payload;
    return nullptr;
}

// Both records printed in one mode: 0 when the texts are equal.
int compare_printed(sig_proto* a, sig_proto* b, int mode)
{
    if (!a || !b)
        return -1;
    static const long text_size = 8192;
    char ta[text_size];
    char tb[text_size];
    int la = sprintf_sig_proto(ta, text_size, a, mode);
    int lb = sprintf_sig_proto(tb, text_size, b, mode);
    if (la == 0)
        ta[0] = '\0';
    if (lb == 0)
        tb[0] = '\0';
    if (lb != la)
        return lb - la;
    return std::strncmp(ta, tb, text_size);
}

} // namespace

int sprintf_sig_proto(char* out, long size, sig_proto* rec, int mode)
{
    if (!out || !rec || size < 1)
        return 0;
    Printer payload = find_printer(rec->type);
    if (!payload)
        return 0;
    Text t(out, size);
    print_header(t, *rec, mode);
    if (!(mode & SIG_PROTO_PRINT_FLAGS_ONLY))
        payload(t, *rec);
    return t.length();
}

int cmp_sig_proto(sig_proto* a, sig_proto* b)
{
    return compare_printed(a, b, SIG_PROTO_PRINT_TYPE_NUMBER);
}

int cmp_sig_proto_flags(sig_proto* a, sig_proto* b)
{
    return compare_printed(a, b, SIG_PROTO_PRINT_FLAGS_ONLY);
}
