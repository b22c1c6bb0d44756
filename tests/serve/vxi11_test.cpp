// VXI-11's pieces below the network loop: ONC RPC record marking, the
// encoded bytes of replies and the decoding of calls (compared with XDR
// written out by hand: big-endian words, opaque data padded to four), and
// what a client that does not hold the meter's lock may do.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "serve/locked_exchange.h"
#include "serve/meter_lock.h"
#include "serve/vxi11/rpc_codec.h"
#include "serve/vxi11/rpc_record.h"

namespace korvel::cli::serve {
namespace {

using vxi11::RecordReader;

std::string words(std::initializer_list<std::uint32_t> values) {
    std::string bytes;
    for (const std::uint32_t v : values) {
        bytes.push_back(static_cast<char>(v >> 24));
        bytes.push_back(static_cast<char>((v >> 16) & 0xFF));
        bytes.push_back(static_cast<char>((v >> 8) & 0xFF));
        bytes.push_back(static_cast<char>(v & 0xFF));
    }
    return bytes;
}

TEST(RpcRecord, FragmentsJoinIntoOneRecordWhateverTheReadsSplit) {
    const std::string stream = words({3}) + "abc" + words({0x80000002}) + "de" + words({0x80000001}) + "z";
    RecordReader reader(64);
    std::vector<std::string> records;
    for (const char byte : stream) {  // one byte per read: the worst split
        reader.add(&byte, 1);
        std::string record;
        while (reader.next(&record) == RecordReader::State::Record) records.push_back(record);
    }
    EXPECT_EQ(records, (std::vector<std::string>{"abcde", "z"}));
    EXPECT_FALSE(reader.midRecord());
}

TEST(RpcRecord, ARecordOverTheLimitIsRefusedBeforeItsBytesArrive) {
    RecordReader reader(10);
    const std::string first = words({6}) + "123456" + words({0x80000005});
    reader.add(first.data(), first.size());
    std::string record;
    EXPECT_EQ(reader.next(&record), RecordReader::State::TooLong);  // 6 + 5 > 10
}

TEST(RpcRecord, MarkIsTheLastFragmentBitAndTheLength) {
    std::string message = std::string(4, '\0') + "hello";
    vxi11::markRecord(&message);
    EXPECT_EQ(message, words({0x80000005}) + "hello");
}

// The reply header every accepted call gets: xid, REPLY (1), MSG_ACCEPTED
// (0), a null verifier (flavor 0, no bytes), accept_stat.
std::string acceptedHeader(std::uint32_t xid, std::uint32_t stat) { return words({xid, 1, 0, 0, 0, stat}); }

TEST(RpcCodec, ReadReplyIsTheHeaderThenErrorReasonAndPaddedData) {
    Device_ReadResp result{};
    result.error = 0;
    result.reason = 4;  // END
    std::string data = "KV1\n!";
    result.data.data_len = 5;
    result.data.data_val = data.data();
    const std::string record = vxi11::encodeResult(0x01020304u, xdr_Device_ReadResp, &result, 64);
    const std::string body = acceptedHeader(0x01020304u, 0) + words({0, 4, 5}) + "KV1\n!" + std::string(3, '\0');
    EXPECT_EQ(record, words({0x80000000u | static_cast<std::uint32_t>(body.size())}) + body);
}

TEST(RpcCodec, RefusalsCarryTheirStatusAndVersions) {
    EXPECT_EQ(vxi11::encodeStatus(7, KV_PROC_UNAVAIL).substr(4), acceptedHeader(7, 3));
    EXPECT_EQ(vxi11::encodeProgramMismatch(7, 1).substr(4), acceptedHeader(7, 2) + words({1, 1}));
    // MSG_DENIED (1), RPC_MISMATCH (0), versions 2 to 2.
    EXPECT_EQ(vxi11::encodeRpcMismatch(7).substr(4), words({7, 1, 1, 0, 2, 2}));
}

TEST(RpcCodec, ACallsHeaderAndWriteArgumentsDecode) {
    // An AUTH_UNIX credential of 8 bytes, as some clients send, then
    // device_write(lid 9, io_timeout 1000, lock_timeout 0, END, "*IDN?").
    const std::string record = words({42, 0, 2, 0x0607AF, 1, 11, 1, 8}) + "stampuid" + words({0, 0}) +
                               words({9, 1000, 0, 8, 5}) + "*IDN?" + std::string(3, '\0');
    vxi11::Decoded<kv_call_header> header(xdr_kv_call_header);
    unsigned bodyAt = 0;
    ASSERT_TRUE(vxi11::decodeCall(record, &header, &bodyAt));
    EXPECT_EQ(header->xid, 42u);
    EXPECT_EQ(header->prog, 0x0607AFu);
    EXPECT_EQ(header->proc, 11u);
    EXPECT_EQ(bodyAt, 4u * 10 + 8);
    vxi11::Decoded<Device_WriteParms> parms(xdr_Device_WriteParms);
    ASSERT_TRUE(vxi11::decodeArguments(record, bodyAt, &parms));
    EXPECT_EQ(parms->lid, 9);
    EXPECT_EQ(parms->io_timeout, 1000u);
    EXPECT_EQ(parms->flags, 8);
    EXPECT_EQ(std::string(parms->data.data_val, parms->data.data_len), "*IDN?");
}

TEST(RpcCodec, TruncatedOrForeignBytesAreNoCall) {
    vxi11::Decoded<kv_call_header> header(xdr_kv_call_header);
    unsigned bodyAt = 0;
    EXPECT_FALSE(vxi11::decodeCall(words({42, 0, 2, 0x0607AF}), &header, &bodyAt));
    vxi11::Decoded<kv_call_header> reply(xdr_kv_call_header);
    EXPECT_FALSE(vxi11::decodeCall(words({42, 1, 2, 0x0607AF, 1, 11, 0, 0, 0, 0}), &reply, &bodyAt));
    // An opaque length past the end of the record.
    vxi11::Decoded<Device_WriteParms> parms(xdr_Device_WriteParms);
    EXPECT_FALSE(vxi11::decodeArguments(words({9, 1000, 0, 8, 4000}) + "ab", 0, &parms));
    // Lengths claiming gigabytes are refused before anything is allocated.
    vxi11::Decoded<Device_WriteParms> huge(xdr_Device_WriteParms);
    EXPECT_FALSE(vxi11::decodeArguments(words({9, 1000, 0, 8, 0x7FFFFFF0}) + "ab", 0, &huge));
    EXPECT_EQ(huge->data.data_val, nullptr);
    vxi11::Decoded<Create_LinkParms> name(xdr_Create_LinkParms);
    EXPECT_FALSE(vxi11::decodeArguments(words({1, 0, 0, 0xFFFFFFF0}) + "inst0", 0, &name));
    EXPECT_EQ(name->device, nullptr);
}

TEST(MeterLock, OneHolderAtATimeAndOnlyTheHolderReleases) {
    MeterLock lock;
    EXPECT_TRUE(lock.take(5));
    EXPECT_TRUE(lock.take(5));  // again: still its own
    EXPECT_FALSE(lock.take(6));
    EXPECT_TRUE(lock.heldByOther(6));
    EXPECT_FALSE(lock.heldByOther(5));
    EXPECT_FALSE(lock.release(6));
    EXPECT_TRUE(lock.release(5));
    EXPECT_FALSE(lock.held());
    EXPECT_TRUE(lock.take(6));
}

// A meter that records what reaches it.
class RecordingMeter : public MeterPort {
public:
    std::vector<std::string> lines;
    std::vector<int> posted;
    std::string scpi(const std::string& line) override {
        lines.push_back(line);
        if (line == "*IDN?") return "KORVEL,KV-100,KV0001,1.02";
        if (line == ":SYST:ERR?") return "0, NO ERROR";
        return "";
    }
    void postError(int code) override { posted.push_back(code); }
    bool lost() const override { return false; }
    bool reading(MeterReading*) override { return false; }
};

TEST(LockedExchange, ChangesGoToTheClientsOwnQueueAndQueriesStillAnswer) {
    RecordingMeter meter;
    LocalAnswers answers;
    OwnErrors errors;
    std::string response;
    ASSERT_TRUE(exchangeLocked(meter, ":UNIT:FLUX:GAUS;*IDN?;*WAI", {}, answers, errors, &response));
    EXPECT_EQ(response, "KORVEL,KV-100,KV0001,1.02");
    EXPECT_EQ(meter.lines, std::vector<std::string>{"*IDN?"});  // the change never reached the meter
    EXPECT_TRUE(meter.posted.empty());                          // nor the meter's queue
    ASSERT_TRUE(exchangeLocked(meter, "*ESR?;:syst:err?;SYST:ERR?", {}, answers, errors, &response));
    EXPECT_EQ(response, "16;-203, COMMAND PROTECTED;0, NO ERROR");  // 16: execution error
    EXPECT_EQ(meter.lines.size(), 1u);  // the meter's queue was not read
}

TEST(LockedExchange, ClearAndOperationCompleteTouchOnlyTheOwnRegisters) {
    RecordingMeter meter;
    LocalAnswers answers;
    OwnErrors errors;
    std::string response;
    EXPECT_FALSE(exchangeLocked(meter, ":SENS:RANG 2;*CLS", {}, answers, errors, &response));
    EXPECT_TRUE(errors.idle());
    ASSERT_TRUE(exchangeLocked(meter, "*OPC;*ESR?;*ESR?", {}, answers, errors, &response));
    EXPECT_EQ(response, "1;0");
    EXPECT_TRUE(meter.lines.empty());
}

TEST(LockedExchange, TheOwnQueueKeepsItsOldestTen) {
    OwnErrors errors;
    for (int i = 0; i < 12; ++i) errors.post(kCommandProtected);
    int count = 0;
    while (!errors.empty()) {
        errors.take();
        ++count;
    }
    EXPECT_EQ(count, 10);
}

}  // namespace
}  // namespace korvel::cli::serve
