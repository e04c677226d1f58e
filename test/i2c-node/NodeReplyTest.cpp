#include <cstring>

#include "NodeTestSupport.h"

using bed::Fault;

class NodeReply : public NodeTest {};

// --- clock -----------------------------------------------------------------------------

TEST_F(NodeReply, GetTimeDecodesTheEightByteLittleEndianClock) {
    sim().state().clockMs = 0x0102030405060708ULL;
    uint64_t value = 0;
    EXPECT_EQ(node().getTime(value), 0);
    EXPECT_EQ(value, 0x0102030405060708ULL);
}

TEST_F(NodeReply, SetTimeHandsTheNodeTheValueThatGetTimeReadsBack) {
    EXPECT_EQ(node().setTime(1'700'000'000'123ULL), 0);
    uint64_t value = 0;
    EXPECT_EQ(node().getTime(value), 0);
    EXPECT_EQ(value, 1'700'000'000'123ULL);
}

TEST_F(NodeReply, GetTimeTestsTheLengthBeforeTheOk) {
    uint64_t value = 42;
    reply(ok(bed::Bytes(7, 1)));
    EXPECT_EQ(node().getTime(value), 8);
    reply(bed::bytesOf("KO") + bed::Bytes(7, 1));
    EXPECT_EQ(node().getTime(value), 8);
    reply(bed::bytesOf("KO") + bed::Bytes(8, 1));
    EXPECT_EQ(node().getTime(value), 11);
    reply(ok(bed::Bytes(9, 1)));
    EXPECT_EQ(node().getTime(value), 8);
    EXPECT_EQ(value, 42u) << "a refused reply wrote the output";
}

// --- values ----------------------------------------------------------------------------

TEST_F(NodeReply, GetValuesA0DecodesEachSlotAsAFull32BitValue) {
    reply(ok(bed::fromHex("05 01 00 00  05 00 00 00  78 56 34 12  00 00 00 00  FF FF FF FF")));
    uint32_t v1 = 0, v2 = 0, v3 = 0, v4 = 9, v5 = 0;
    EXPECT_EQ(node().getValuesA0(v1, v2, v3, v4, v5), 0);
    EXPECT_EQ(v1, 261u);
    EXPECT_EQ(v2, 5u);
    EXPECT_EQ(v3, 0x12345678u);
    EXPECT_EQ(v4, 0u);
    EXPECT_EQ(v5, 0xFFFFFFFFu);
}

TEST_F(NodeReply, SetValuesB0StoresWhatGetValuesA0ReadsBack) {
    EXPECT_EQ(node().setValuesB0(1, 300, 70000, 0, 0x80000000u), 0);
    uint32_t v[5] = {};
    EXPECT_EQ(node().getValuesA0(v[0], v[1], v[2], v[3], v[4]), 0);
    EXPECT_EQ(std::vector<uint32_t>(v, v + 5),
              (std::vector<uint32_t>{1, 300, 70000, 0, 0x80000000u}));
}

TEST_F(NodeReply, GetValuesA0TestsTheOkBeforeTheLength) {
    uint32_t v1 = 7, v2 = 7, v3 = 7, v4 = 7, v5 = 7;
    reply(ok(bed::Bytes(19, 1)));
    EXPECT_EQ(node().getValuesA0(v1, v2, v3, v4, v5), 8);
    reply(bed::bytesOf("KO") + bed::Bytes(19, 1));
    EXPECT_EQ(node().getValuesA0(v1, v2, v3, v4, v5), 11);
    reply(ok(bed::Bytes(21, 1)));
    EXPECT_EQ(node().getValuesA0(v1, v2, v3, v4, v5), 8);
    EXPECT_EQ(std::vector<uint32_t>({v1, v2, v3, v4, v5}), std::vector<uint32_t>(5, 7));
}

// --- texts -----------------------------------------------------------------------------

TEST_F(NodeReply, EachTextQueryReturnsItsOwnText) {
    std::string e1, e3, e4, e5;
    EXPECT_EQ(node().getTextE1(e1), 0);
    EXPECT_EQ(node().getTextE3(e3), 0);
    EXPECT_EQ(node().getTextE4(e4), 0);
    EXPECT_EQ(node().getTextE5(e5), 0);
    EXPECT_EQ(std::vector<std::string>({e1, e3, e4, e5}),
              (std::vector<std::string>{"e1", "e3", "e4", "e5"}));
}

TEST_F(NodeReply, TheTextSettersReplaceWhatTheQueriesReturn) {
    EXPECT_EQ(node().setTextF3("three"), 0);
    EXPECT_EQ(node().setTextF4("four"), 0);
    EXPECT_EQ(node().setTextF5("five"), 0);
    std::string e3, e4, e5;
    node().getTextE3(e3);
    node().getTextE4(e4);
    node().getTextE5(e5);
    EXPECT_EQ(std::vector<std::string>({e3, e4, e5}),
              (std::vector<std::string>{"three", "four", "five"}));
}

TEST_F(NodeReply, ATextEndsAtItsFirstNulOrAtTheEndOfThePayload) {
    std::string text = "old";
    reply(ok(text0("first") + bed::bytesOf("second")));
    EXPECT_EQ(node().getTextE1(text), 0);
    EXPECT_EQ(text, "first");
    reply(bed::bytesOf("OKAY"));
    EXPECT_EQ(node().getTextE1(text), 0);
    EXPECT_EQ(text, "AY");
    reply(ok());
    EXPECT_EQ(node().getTextE1(text), 0);
    EXPECT_EQ(text, "");
}

TEST_F(NodeReply, ARefusedTextReplyLeavesTheOutputAlone) {
    std::string text = "old";
    sim().failNext(Fault::NotOk);
    EXPECT_EQ(node().getTextE4(text), 11);
    EXPECT_EQ(text, "old");
}

TEST_F(NodeReply, TheTextPairAndTextByteSettersReachTheNode) {
    EXPECT_EQ(node().setTextPairF1("ab", "c"), 0);
    EXPECT_EQ(node().setTextByteF2("name", 0xFE), 0);
    EXPECT_EQ(sim().state().pairF1First, "ab");
    EXPECT_EQ(sim().state().pairF1Second, "c");
    EXPECT_EQ(sim().state().textF2, "name");
    EXPECT_EQ(sim().state().byteF2, 0xFE);
}

TEST_F(NodeReply, TheBareAndNamedCommandsSucceedOnAnOkReply) {
    EXPECT_EQ(node().commandC1(), 0);
    EXPECT_EQ(node().commandC2("x"), 0);
    EXPECT_EQ(node().commandC3(), 0);
    EXPECT_EQ(node().textCommand91("x"), 0);
    EXPECT_EQ(node().textCommand92("x"), 0);
    EXPECT_EQ(node().textCommand96("x"), 0);
    EXPECT_EQ(node().textPairCommand97("x", "y"), 0);
    EXPECT_EQ(node().textPairCommand98("x", "y"), 0);
}

// --- identity --------------------------------------------------------------------------

TEST_F(NodeReply, GetIdentityReadsFourTextsOneAfterTheOther) {
    reply(ok(text0("a") + text0("b") + text0("c") + bed::bytesOf("d")));
    std::string t1, t2, t3, t4;
    EXPECT_EQ(node().getIdentity(t1, t2, t3, t4), 0);
    EXPECT_EQ(std::vector<std::string>({t1, t2, t3, t4}),
              (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST_F(NodeReply, GetIdentityReturnsTheSimulatedNodesIdentity) {
    sim().state().identity = {"maker", "2.4", "board", "device-17"};
    std::string t1, t2, t3, t4;
    EXPECT_EQ(node().getIdentity(t1, t2, t3, t4), 0);
    EXPECT_EQ(std::vector<std::string>({t1, t2, t3, t4}),
              (std::vector<std::string>{"maker", "2.4", "board", "device-17"}));
}

TEST_F(NodeReply, AnIdentityThatRunsOutKeepsTheTextsDecodedAndGives11) {
    reply(ok(text0("a") + bed::bytesOf("b")));
    std::string t1, t2, t3 = "old3", t4 = "old4";
    EXPECT_EQ(node().getIdentity(t1, t2, t3, t4), 11);
    EXPECT_EQ(std::vector<std::string>({t1, t2, t3, t4}),
              (std::vector<std::string>{"a", "b", "old3", "old4"}));
}

// --- text map --------------------------------------------------------------------------

TEST_F(NodeReply, GetTextMapReadsKeyedTextsAndARepeatedKeyKeepsItsLastText) {
    reply(ok(le32(3) + le32(0x01000000) + text0("big") + le32(7) + text0("x") + le32(7) +
             text0("y")));
    std::map<uint32_t, std::string> map{{99, "stale"}};
    EXPECT_EQ(node().getTextMap(map), 0);
    EXPECT_EQ(map, (std::map<uint32_t, std::string>{{7, "y"}, {0x01000000, "big"}}));
}

TEST_F(NodeReply, GetTextMapWithACountOfZeroEmptiesTheMap) {
    reply(ok(le32(0)));
    std::map<uint32_t, std::string> map{{1, "stale"}};
    EXPECT_EQ(node().getTextMap(map), 0);
    EXPECT_TRUE(map.empty());
}

TEST_F(NodeReply, GetTextMapReturnsTheSimulatedNodesMap) {
    sim().state().textMap = {{1, "one"}, {300, "three hundred"}};
    std::map<uint32_t, std::string> map;
    EXPECT_EQ(node().getTextMap(map), 0);
    EXPECT_EQ(map, sim().state().textMap);
}

TEST_F(NodeReply, ARefusedTextMapReplyLeavesTheMapUncleared) {
    sim().failNext(Fault::NotOk);
    std::map<uint32_t, std::string> map{{1, "kept"}};
    EXPECT_EQ(node().getTextMap(map), 11);
    EXPECT_EQ(map.size(), 1u);
}

TEST_F(NodeReply, ATextMapCountBeyondItsEntriesKeepsTheEntriesDecodedAndGives11) {
    reply(ok(le32(5) + le32(1) + text0("one") + le32(2) + bed::bytesOf("two")));
    std::map<uint32_t, std::string> map;
    EXPECT_EQ(node().getTextMap(map), 11);
    EXPECT_EQ(map, (std::map<uint32_t, std::string>{{1, "one"}, {2, "two"}}));
}

TEST_F(NodeReply, ATextMapKeyCutShortOrAMissingCountGives11) {
    std::map<uint32_t, std::string> map;
    reply(ok(le32(2) + le32(1) + text0("one") + bed::fromHex("02 00")));
    EXPECT_EQ(node().getTextMap(map), 11);
    EXPECT_EQ(map, (std::map<uint32_t, std::string>{{1, "one"}}));
    reply(ok(bed::fromHex("01 00")));
    EXPECT_EQ(node().getTextMap(map), 11);
    EXPECT_TRUE(map.empty());
}

// --- records ---------------------------------------------------------------------------

TEST_F(NodeReply, GetRecordsAppendsEachRecordAsATerminatedCopy) {
    reply(ok(le32(2) + le32(0x0A0B0C0D) + le32(3) + bed::bytesOf("abc") + le32(5) + le32(0)));
    RecordList list;
    list.records.push_back(NodeRecord{1, nullptr, 0});
    EXPECT_EQ(node().getRecordsA1(0, list.records), 0);

    ASSERT_EQ(list.records.size(), 3u);
    auto record = std::next(list.records.begin());
    EXPECT_EQ(record->tag, 0x0A0B0C0Du);
    EXPECT_EQ(record->length, 3u);
    EXPECT_EQ(std::memcmp(record->data, "abc", 4), 0);
    ++record;
    EXPECT_EQ(record->tag, 5u);
    EXPECT_EQ(record->length, 0u);
    EXPECT_EQ(record->data[0], 0);
}

TEST_F(NodeReply, ARecordLongerThan255BytesLeavesTheNextRecordInPlace) {
    std::string longData(300, 'L');
    reply(ok(le32(2) + le32(1) + le32(300) + bed::bytesOf(longData) + le32(2) + le32(1) +
             bed::bytesOf("z")));
    RecordList list;
    EXPECT_EQ(node().getRecordsA2(0, list.records), 0);

    ASSERT_EQ(list.records.size(), 2u);
    EXPECT_EQ(list.records.front().length, 300u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(list.records.front().data)), longData);
    EXPECT_EQ(list.records.back().tag, 2u);
    EXPECT_EQ(list.records.back().length, 1u);
    EXPECT_EQ(list.records.back().data[0], 'z');
}

TEST_F(NodeReply, ARecordCountAbove255IsReadInFull) {
    bed::Bytes fields = le32(256);
    for (uint32_t tag = 0; tag < 256; ++tag) {
        fields = fields + le32(tag) + le32(0);
    }
    reply(ok(fields));
    RecordList list;
    EXPECT_EQ(node().getRecordsA3(0, list.records), 0);
    EXPECT_EQ(list.records.size(), 256u);
}

TEST_F(NodeReply, GetRecordsWithACountOfZeroLeavesTheListAsItWas) {
    reply(ok(le32(0)));
    RecordList list;
    list.records.push_back(NodeRecord{1, nullptr, 0});
    EXPECT_EQ(node().getRecordsA4(0, list.records), 0);
    EXPECT_EQ(list.records.size(), 1u);
}

TEST_F(NodeReply, RecordsThatRunPastThePayloadKeepThoseDecodedAndGive11) {
    reply(ok(le32(3) + le32(1) + le32(1) + bed::bytesOf("a") + le32(2) + le32(1000) +
             bed::bytesOf("short")));
    RecordList list;
    EXPECT_EQ(node().getRecordsA5(0, list.records), 11);
    ASSERT_EQ(list.records.size(), 1u);
    EXPECT_EQ(list.records.front().tag, 1u);
}

TEST_F(NodeReply, GetRecordsReturnsTheSimulatedNodesRecordsForItsOpcode) {
    sim().state().records[0xA3] = {{7, bed::bytesOf("seven")}, {8, bed::Bytes(400, 0x55)}};
    RecordList list;
    EXPECT_EQ(node().getRecordsA3(0xCAFE, list.records), 0);
    ASSERT_EQ(list.records.size(), 2u);
    EXPECT_EQ(list.records.front().tag, 7u);
    EXPECT_EQ(list.records.back().length, 400u);
    EXPECT_EQ(sim().state().recordArguments.at(0xA3), 0xCAFEu);
}

// --- lines -----------------------------------------------------------------------------

TEST_F(NodeReply, GetLinesAppendsOnlyTheLinesEndedByANewline) {
    struct Case {
        std::string text;
        std::list<std::string> appended;
    };
    for (const Case& c :
         {Case{"a\nb\n", {"a", "b"}}, Case{"a\nb", {"a"}}, Case{"\n\n", {"", ""}}, Case{"", {}}}) {
        sim().state().lines["log"] = c.text;
        std::list<std::string> lines{"before"};
        EXPECT_EQ(node().getLines("log", lines), 0);
        std::list<std::string> expected{"before"};
        expected.insert(expected.end(), c.appended.begin(), c.appended.end());
        EXPECT_EQ(lines, expected) << c.text;
    }
}

// --- file information ------------------------------------------------------------------

TEST_F(NodeReply, GetFileInfoDecodesSizeExtraAndDigest) {
    sim().putFile("data.bin", bed::bytesOf("abc"), 77);
    uint32_t size = 0, extra = 0;
    uint8_t digest[32] = {};
    EXPECT_EQ(node().getFileInfo("data.bin", size, extra, digest), 0);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(extra, 77u);
    EXPECT_EQ(bed::hex(bed::Bytes(digest, digest + 32)),
              "BA 78 16 BF 8F 01 CF EA 41 41 40 DE 5D AE 22 23 B0 03 61 A3 96 17 7A 9C B4 10 FF "
              "61 F2 00 15 AD");
}

TEST_F(NodeReply, AFileInfoReplyShorterThan42BytesGives8AndWritesNothing) {
    reply(ok(le32(3) + le32(77) + bed::Bytes(31, 0xAB)));
    uint32_t size = 1, extra = 2;
    uint8_t digest[32] = {};
    EXPECT_EQ(node().getFileInfo("data.bin", size, extra, digest), 8);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(extra, 2u);
    EXPECT_EQ(bed::Bytes(digest, digest + 32), bed::Bytes(32, 0));
}

TEST_F(NodeReply, AFileInfoReplyOfExactly42BytesIsAccepted) {
    reply(ok(le32(3) + le32(77) + bed::Bytes(32, 0xAB)));
    uint32_t size = 0, extra = 0;
    uint8_t digest[32] = {};
    EXPECT_EQ(node().getFileInfo("data.bin", size, extra, digest), 0);
    EXPECT_EQ(digest[31], 0xAB);
}
