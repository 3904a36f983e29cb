// The MIDI stream parser of an input port: short messages with running
// status, real-time bytes anywhere, system-exclusive data into the client's
// buffers, and one report for each byte that breaks the grammar. Bytes go
// straight into ParseMidiByte of a port record that the test thread drives;
// notifications arrive through the driver's direct callback.
#include <gtest/gtest.h>
#include "support/input_harness.h"

using inputtest::BarePort;
using inputtest::ClientBuffer;
using inputtest::Note;

namespace {

struct Expect {
    DWORD message;
    DWORD_PTR param1;
};

void ExpectNotes(const std::vector<Note> &notes, const std::vector<Expect> &expected)
{
    ASSERT_EQ(notes.size(), expected.size()) << inputtest::Describe(notes);
    for (size_t i = 0; i < notes.size(); ++i) {
        EXPECT_EQ(notes[i].message, expected[i].message) << "note " << i;
        EXPECT_EQ(notes[i].param1, expected[i].param1) << "note " << i;
    }
}

}  // namespace

TEST(ParserShortMessages, NoteOnThenRunningStatusCarriesTheTimeOfItsFirstDataByte)
{
    BarePort p;
    p.port->In.CurrentTime = 10;
    p.Feed({0x90, 0x3C, 0x40});
    p.port->In.CurrentTime = 25;
    p.Feed({0x3E});
    p.port->In.CurrentTime = 30;
    p.Feed({0x40});
    std::vector<Note> notes = p.recorder.Take();
    ExpectNotes(notes, {{MIM_DATA, 0x403C90}, {MIM_DATA, 0x403E90}});
    EXPECT_EQ(notes[0].param2, 10u);
    EXPECT_EQ(notes[1].param2, 25u);
}

TEST(ParserShortMessages, OneDataByteMessagesRepeatUnderRunningStatus)
{
    BarePort p;
    p.Feed({0xC0, 0x05, 0x06, 0xD3, 0x7F});
    ExpectNotes(p.recorder.Take(), {{MIM_DATA, 0x5C0}, {MIM_DATA, 0x6C0}, {MIM_DATA, 0x7FD3}});
}

TEST(ParserShortMessages, EveryTwoByteChannelStatusWaitsForTwoDataBytes)
{
    for (BYTE status : {0x80, 0x95, 0xA0, 0xBF, 0xE2}) {
        BarePort p;
        p.Feed({status, 0x01});
        EXPECT_TRUE(p.recorder.Take().empty()) << std::hex << int(status);
        p.Feed({0x02});
        ExpectNotes(p.recorder.Take(), {{MIM_DATA, 0x020100u | status}});
    }
}

TEST(ParserShortMessages, RealTimeBytesAreDeliveredAtOnceInsideAMessage)
{
    BarePort p;
    p.port->In.CurrentTime = 7;
    p.Feed({0x90, 0x3C, 0xF8, 0x40, 0xFE, 0xFF});
    std::vector<Note> notes = p.recorder.Take();
    ExpectNotes(notes, {{MIM_DATA, 0xF8}, {MIM_DATA, 0x403C90}, {MIM_DATA, 0xFE}, {MIM_DATA, 0xFF}});
    EXPECT_EQ(notes[0].param2, 7u);
}

TEST(ParserShortMessages, SystemCommonMessagesAndTheirEndOfRunningStatus)
{
    BarePort p;
    p.Feed({0xF2, 0x01, 0x02, 0x03});
    ExpectNotes(p.recorder.Take(), {{MIM_DATA, 0x0201F2}, {MIM_ERROR, 0x03}});
    p.Feed({0xF1, 0x11, 0xF3, 0x05, 0x06});
    ExpectNotes(p.recorder.Take(), {{MIM_DATA, 0x11F1}, {MIM_DATA, 0x05F3}, {MIM_ERROR, 0x06}});
    // Running status of a channel message ends with a system common status.
    p.Feed({0x90, 0x3C, 0x40, 0xF6, 0x3C});
    ExpectNotes(p.recorder.Take(), {{MIM_DATA, 0x403C90}, {MIM_DATA, 0xF6}, {MIM_ERROR, 0x3C}});
    p.Feed({0xF4, 0xF5});
    ExpectNotes(p.recorder.Take(), {{MIM_DATA, 0xF4}, {MIM_DATA, 0xF5}});
}

TEST(ParserErrors, EachGrammarViolationGivesOneReportAndTheStreamGoesOn)
{
    BarePort p;
    p.Feed({0x40});  // data byte as the very first byte
    ExpectNotes(p.recorder.Take(), {{MIM_ERROR, 0x40}});
    p.Feed({0xF7});  // end of exclusive with none open
    ExpectNotes(p.recorder.Take(), {{MIM_ERROR, 0xF7}});

    p.port->In.CurrentTime = 3;
    p.Feed({0x90, 0x3C});
    p.port->In.CurrentTime = 9;
    p.Feed({0x80, 0x3C, 0x00});  // a status cuts the incomplete note-on
    std::vector<Note> notes = p.recorder.Take();
    ExpectNotes(notes, {{MIM_ERROR, 0x3C90}, {MIM_DATA, 0x003C80}});
    EXPECT_EQ(notes[0].param2, 3u);  // the incomplete message keeps its own time
    EXPECT_EQ(notes[1].param2, 9u);

    p.Feed({0xF2, 0x01, 0xF6});  // a system status cuts an incomplete system message
    ExpectNotes(p.recorder.Take(), {{MIM_ERROR, 0x01F2}, {MIM_DATA, 0xF6}});
}

TEST(ParserErrors, DataAfterASystemStatusHasNoStatusToBelongTo)
{
    BarePort p;
    p.Feed({0x90, 0x3C, 0xF7, 0x40, 0x41});
    ExpectNotes(p.recorder.Take(),
                {{MIM_ERROR, 0x3C90}, {MIM_ERROR, 0xF7}, {MIM_ERROR, 0x40}, {MIM_ERROR, 0x41}});
    p.Feed({0x90, 0x3C, 0xF0, 0x01, 0xF7, 0x40, 0x41});  // no buffer queued
    ExpectNotes(p.recorder.Take(), {{MIM_ERROR, 0x3C90}, {MIM_ERROR, 0x40}, {MIM_ERROR, 0x41}});
}

TEST(ParserSysex, CompleteMessageFillsTheHeadBufferAndComesBackDone)
{
    BarePort p;
    ClientBuffer first(16), second(16);
    ASSERT_EQ(p.Add(first), 0u);
    ASSERT_EQ(p.Add(second), 0u);
    EXPECT_EQ(first.header.dwFlags & (MHDR_INQUEUE | MHDR_DONE), (DWORD)MHDR_INQUEUE);
    p.port->In.CurrentTime = 42;
    p.Feed({0xF0, 0x7E, 0x01, 0xF7});
    std::vector<Note> notes = p.recorder.Take();
    ExpectNotes(notes, {{MIM_LONGDATA, (DWORD_PTR)&first.header}});
    EXPECT_EQ(notes[0].bytes, (std::vector<BYTE>{0xF0, 0x7E, 0x01, 0xF7}));
    EXPECT_EQ(notes[0].param2, 42u);
    EXPECT_EQ(first.header.dwBytesRecorded, 4u);
    EXPECT_EQ(first.header.dwFlags & (MHDR_INQUEUE | MHDR_DONE), (DWORD)MHDR_DONE);
    EXPECT_EQ(p.port->ClientBuffers, &second.header);
}

TEST(ParserSysex, LongMessageContinuesInTheNextBufferWithTheTimeOfItsStart)
{
    BarePort p;
    ClientBuffer a(4), b(4);
    p.Add(a);
    p.Add(b);
    p.port->In.CurrentTime = 5;
    p.Feed({0xF0, 1, 2});
    p.port->In.CurrentTime = 8;
    p.Feed({3, 4, 5, 6, 7, 8, 0xF7});
    std::vector<Note> notes = p.recorder.Take();
    ExpectNotes(notes, {{MIM_LONGDATA, (DWORD_PTR)&a.header}, {MIM_LONGDATA, (DWORD_PTR)&b.header}});
    EXPECT_EQ(notes[0].bytes, (std::vector<BYTE>{0xF0, 1, 2, 3}));
    EXPECT_EQ(notes[1].bytes, (std::vector<BYTE>{4, 5, 6, 7}));
    EXPECT_EQ(notes[0].param2, 5u);
    EXPECT_EQ(notes[1].param2, 5u);
    // The last two bytes had no buffer and are lost without a report.
    EXPECT_EQ(p.port->ClientBuffers, nullptr);
    EXPECT_EQ(p.port->In.LongCount, 0u);
    // The stream goes on normally afterwards.
    p.Feed({0x90, 1, 2});
    ExpectNotes(p.recorder.Take(), {{MIM_DATA, 0x020190}});
}

TEST(ParserSysex, StatusByteCutsTheMessageAndStartsItsOwn)
{
    BarePort p;
    ClientBuffer buffer(16);
    p.Add(buffer);
    p.Feed({0xF0, 0x01, 0x90, 0x3C, 0x40});
    std::vector<Note> notes = p.recorder.Take();
    ExpectNotes(notes, {{MIM_LONGERROR, (DWORD_PTR)&buffer.header}, {MIM_DATA, 0x403C90}});
    EXPECT_EQ(notes[0].bytes, (std::vector<BYTE>{0xF0, 0x01}));
    EXPECT_EQ(buffer.header.dwFlags & (MHDR_INQUEUE | MHDR_DONE), (DWORD)MHDR_DONE);

    // A system status other than 0xF7 cuts it too; 0xF0 opens a new one.
    ClientBuffer two(16), three(16);
    p.Add(two);
    p.Add(three);
    p.Feed({0xF0, 0x05, 0xF0, 0x06, 0xF7});
    notes = p.recorder.Take();
    ExpectNotes(notes, {{MIM_LONGERROR, (DWORD_PTR)&two.header},
                        {MIM_LONGDATA, (DWORD_PTR)&three.header}});
    EXPECT_EQ(notes[0].bytes, (std::vector<BYTE>{0xF0, 0x05}));
    EXPECT_EQ(notes[1].bytes, (std::vector<BYTE>{0xF0, 0x06, 0xF7}));
}

TEST(ParserSysex, RealTimeBytesPassThroughWithoutEnteringTheBuffer)
{
    BarePort p;
    ClientBuffer buffer(16);
    p.Add(buffer);
    p.Feed({0xF0, 0x01, 0xFE, 0x02, 0xF7});
    std::vector<Note> notes = p.recorder.Take();
    ExpectNotes(notes, {{MIM_DATA, 0xFE}, {MIM_LONGDATA, (DWORD_PTR)&buffer.header}});
    EXPECT_EQ(notes[1].bytes, (std::vector<BYTE>{0xF0, 0x01, 0x02, 0xF7}));
}

TEST(ParserSysex, MessageWithoutBufferIsLostUntilABufferArrives)
{
    BarePort p;
    p.Feed({0xF0, 0x01, 0x02});
    EXPECT_TRUE(p.recorder.Take().empty());
    ClientBuffer late(8);
    p.Add(late);
    p.Feed({0x03, 0xF7});
    std::vector<Note> notes = p.recorder.Take();
    ExpectNotes(notes, {{MIM_LONGDATA, (DWORD_PTR)&late.header}});
    EXPECT_EQ(notes[0].bytes, (std::vector<BYTE>{0x03, 0xF7}));
}

TEST(ParserStopped, BytesWhileStoppedChangeNothing)
{
    BarePort p;
    ClientBuffer buffer(8);
    p.Add(buffer);
    p.Feed({0x90, 0x3C});
    p.port->In.Started = 0;
    p.Feed({0x40, 0xF0, 0x01, 0xF8, 0x45});
    EXPECT_TRUE(p.recorder.Take().empty());
    EXPECT_EQ(p.port->In.ShortMessage, 0x3C90u);
    EXPECT_EQ(p.port->In.InSysex, 0);
    p.port->In.Started = 1;
    p.Feed({0x40});
    ExpectNotes(p.recorder.Take(), {{MIM_DATA, 0x403C90}});
}

TEST(ParserReturnBuffers, ResetReturnsEveryBufferEmptyOldestFirst)
{
    BarePort p;
    ClientBuffer a(8), b(8), c(8);
    p.Add(a);
    p.Add(b);
    p.Add(c);
    p.port->In.CurrentTime = 77;
    ReturnAllLongBuffers(p.port);
    std::vector<Note> notes = p.recorder.Take();
    ExpectNotes(notes, {{MIM_LONGDATA, (DWORD_PTR)&a.header},
                        {MIM_LONGDATA, (DWORD_PTR)&b.header},
                        {MIM_LONGDATA, (DWORD_PTR)&c.header}});
    for (const Note &note : notes) {
        EXPECT_TRUE(note.bytes.empty());
        EXPECT_EQ(note.flags & (MHDR_INQUEUE | MHDR_DONE), (DWORD)MHDR_DONE);
        EXPECT_EQ(note.param2, 77u);
    }
    EXPECT_EQ(p.port->ClientBuffers, nullptr);
}

TEST(ParserReturnBuffers, PartialBufferComesBackAsErrorWithItsBytes)
{
    BarePort p;
    ClientBuffer a(8), b(8);
    p.Add(a);
    p.Add(b);
    ReturnPartialLongBuffer(p.port);  // nothing written yet: nothing returned
    EXPECT_TRUE(p.recorder.Take().empty());
    p.port->In.CurrentTime = 12;
    p.Feed({0xF0, 0x11, 0x22});
    ReturnPartialLongBuffer(p.port);
    std::vector<Note> notes = p.recorder.Take();
    ExpectNotes(notes, {{MIM_LONGERROR, (DWORD_PTR)&a.header}});
    EXPECT_EQ(notes[0].bytes, (std::vector<BYTE>{0xF0, 0x11, 0x22}));
    EXPECT_EQ(notes[0].param2, 12u);
    EXPECT_EQ(p.port->ClientBuffers, &b.header);
    EXPECT_EQ(p.port->In.LongCount, 0u);
}

// A client that queues its buffer again from the MIM_LONGDATA callback (on
// the port's thread) gets it filled by the next message.
TEST(ParserReturnBuffers, BufferReaddedFromItsOwnCallbackIsUsedAgain)
{
    BarePort p;
    ClientBuffer buffer(8);
    p.recorder.hook = [&](const Note &note) {
        if (note.message == MIM_LONGDATA) p.Add(buffer);
    };
    p.Add(buffer);
    p.Feed({0xF0, 1, 0xF7, 0xF0, 2, 0xF7});
    std::vector<Note> notes = p.recorder.Take();
    ASSERT_EQ(notes.size(), 2u) << inputtest::Describe(notes);
    EXPECT_EQ(notes[0].bytes, (std::vector<BYTE>{0xF0, 1, 0xF7}));
    EXPECT_EQ(notes[1].bytes, (std::vector<BYTE>{0xF0, 2, 0xF7}));
    EXPECT_EQ(p.port->ClientBuffers, &buffer.header);  // queued again after the second
}

TEST(ParserRandom, ArbitraryBytesStayInsideTheGrammarAndTheBuffers)
{
    BarePort p;
    std::vector<ClientBuffer *> buffers;
    for (DWORD i = 0; i < 6; ++i) {
        ClientBuffer *b = new ClientBuffer(3 + i);
        b->memory.resize(b->header.dwBufferLength + 8, '\x5A');  // guard bytes
        b->header.lpData = b->memory.data();
        buffers.push_back(b);
    }
    // Every returned buffer is queued again at once, from the callback.
    p.recorder.hook = [&](const Note &note) {
        if (note.message != MIM_LONGDATA && note.message != MIM_LONGERROR) return;
        for (ClientBuffer *b : buffers)
            if (note.param1 == (DWORD_PTR)&b->header) p.Add(*b);
    };
    for (ClientBuffer *b : buffers) p.Add(*b);
    DWORD seed = 12345;
    for (int i = 0; i < 200000; ++i) {
        seed = seed * 1103515245u + 12345u;
        BYTE b = static_cast<BYTE>(seed >> 16);
        // Favour system-exclusive traffic so buffers fill and are cut often.
        if ((seed >> 8) % 7 == 0) b = 0xF0;
        ParseMidiByte(p.port, b);
    }
    size_t longs = 0, shorts = 0, errors = 0;
    for (const Note &note : p.recorder.Take()) {
        if (note.message == MIM_LONGDATA || note.message == MIM_LONGERROR) {
            ++longs;
            // Only a cut-off message may hand back a buffer with nothing in it
            // (its previous buffer had just been filled).
            if (note.message == MIM_LONGDATA) {
                ASSERT_FALSE(note.bytes.empty());
            }
            // Inside a buffer: data bytes, 0xF0 only first, 0xF7 only last.
            for (size_t i = 0; i < note.bytes.size(); ++i) {
                BYTE b = note.bytes[i];
                bool ok = b < 0x80 || (b == 0xF0 && i == 0) ||
                          (b == 0xF7 && i + 1 == note.bytes.size() && note.message == MIM_LONGDATA);
                ASSERT_TRUE(ok) << "byte " << i << " = " << int(b);
            }
        } else if (note.message == MIM_DATA) {
            ++shorts;
            EXPECT_EQ(note.param1 & 0xFF000000u, 0u);
            EXPECT_GE(note.param1 & 0xFF, 0x80u);
        } else if (note.message == MIM_ERROR) {
            ++errors;
        }
    }
    EXPECT_GT(longs, 1000u);
    EXPECT_GT(shorts, 1000u);
    EXPECT_GT(errors, 100u);
    for (ClientBuffer *b : buffers) {
        for (size_t i = b->header.dwBufferLength; i < b->memory.size(); ++i)
            EXPECT_EQ(b->memory[i], '\x5A') << "overrun of a " << b->header.dwBufferLength
                                            << "-byte buffer";
        EXPECT_LE(b->header.dwBytesRecorded, b->header.dwBufferLength);
    }
    for (ClientBuffer *b : buffers) delete b;
}
