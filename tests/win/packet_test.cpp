// What write_packet_to_virtual_channel puts on the wire, including the code-15 rewrite.
#include "channel/server_channel.h"
#include "support/engine_fixture.h"
#include "packets/usb_packet_types.h"
#include "portable/frame.h"

namespace
{

class Packet_test : public Engine_fixture
{
  protected:
    void SetUp() override
    {
        Engine_fixture::SetUp();
        open_channel_only();
        fake.clear_lines();
    }
    void TearDown() override
    {
        close_channel_only();
        Engine_fixture::TearDown();
    }
    std::vector<BYTE> mdl_request(BYTE direction, uint32_t data_length, const void* address)
    {
        std::vector<BYTE> r(32, 0);
        kv::store_u32(r.data(), 28);
        r[4] = kv::code_queue_mdl_urb;
        kv::store_u32(r.data() + 5, 0x0D0C0B0A);
        kv::store_u32(r.data() + 9, 0x44332211);
        r[13] = 0x13;
        r[14] = 0x14;
        r[15] = direction;
        kv::store_u32(r.data() + 16, 0x16161616);
        kv::store_u32(r.data() + 20, data_length);
        kv::store_u64(r.data() + 24, reinterpret_cast<uintptr_t>(address));
        return r;
    }
    bool send(std::vector<BYTE>& request)
    {
        Usb_packet_queue_mdl_urb packet(request.data(), false);
        return packet.process_param();
    }
    std::vector<BYTE> receive(size_t n)
    {
        return g_terminal_receive(fake.terminal(), n);
    }
};

TEST_F(Packet_test, UrbRequestGoesOutByteForByte)
{
    std::vector<BYTE> request(30);
    for (size_t i = 0; i < request.size(); ++i)
        request[i] = static_cast<BYTE>(i + 40);
    kv::store_u32(request.data(), 26);
    request[4] = kv::code_queue_urb;
    Usb_packet_queue_urb packet(request.data(), false);
    EXPECT_TRUE(packet.process_param());
    EXPECT_EQ(request, receive(30));
}

TEST_F(Packet_test, MdlRequestWithoutOutDataIsSentInPlaceAndRestored)
{
    auto request = mdl_request(1, 512, reinterpret_cast<void*>(0x1234));
    const auto original = request;
    EXPECT_TRUE(send(request));
    auto sent = receive(24);
    ASSERT_EQ(24u, sent.size());
    EXPECT_EQ(20u, kv::load_u32(sent.data()));
    EXPECT_EQ(kv::code_queue_urb, sent[4]);
    EXPECT_EQ(512u, kv::load_u32(sent.data() + 20));
    EXPECT_EQ(0, memcmp(sent.data() + 5, original.data() + 5, 19));
    EXPECT_EQ(original, request); // code 15 and length 28 again
    EXPECT_EQ(0u, g_terminal_available(fake.terminal()));
}

TEST_F(Packet_test, MdlRequestWithOutDataCarriesTheData)
{
    const BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    auto request = mdl_request(2, 8, data);
    EXPECT_TRUE(send(request));
    auto sent = receive(32);
    ASSERT_EQ(32u, sent.size());
    EXPECT_EQ(28u, kv::load_u32(sent.data()));
    EXPECT_EQ(kv::code_queue_urb, sent[4]);
    EXPECT_EQ(0, memcmp(sent.data() + 5, request.data() + 5, 19));
    EXPECT_EQ(0, memcmp(sent.data() + 24, data, 8));

    auto empty = mdl_request(2, 0, nullptr);
    EXPECT_TRUE(send(empty));
    sent = receive(24);
    ASSERT_EQ(24u, sent.size());
    EXPECT_EQ(20u, kv::load_u32(sent.data()));
}

TEST_F(Packet_test, UnreadableOutDataIsRefusedWithoutSending)
{
    auto null_data = mdl_request(2, 8, nullptr);
    EXPECT_FALSE(send(null_data));
    EXPECT_TRUE(
        fake.has_line(L"Usb_packet::write_packet_to_virtual_channel (memcpy_s failed - error:22)"));

    void* guarded = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    ASSERT_NE(nullptr, guarded);
    auto no_access = mdl_request(2, 16, guarded);
    EXPECT_FALSE(send(no_access));
    EXPECT_TRUE(fake.has_line(
        L"Usb_packet::write_packet_to_virtual_channel (memcpy_s threw an exception - error:"));
    VirtualFree(guarded, 0, MEM_RELEASE);

    // Data that runs off the end of readable memory is refused as a whole.
    BYTE* two = static_cast<BYTE*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(nullptr, VirtualAlloc(two, 4096, MEM_COMMIT, PAGE_READWRITE));
    auto straddling = mdl_request(2, 64, two + 4096 - 32);
    EXPECT_FALSE(send(straddling));
    VirtualFree(two, 0, MEM_RELEASE);

    auto unframeable = mdl_request(2, 0xFFFFFFF0u, nullptr);
    EXPECT_FALSE(send(unframeable));
    EXPECT_EQ(0u, g_terminal_available(fake.terminal()));
}

TEST_F(Packet_test, BodySizeAndBorrowedBuffers)
{
    Usb_packet none(nullptr, false);
    EXPECT_EQ(0u, none.get_body_size());
    EXPECT_FALSE(none.write_packet_to_virtual_channel());
    BYTE list[5] = {1, 0, 0, 0, 11};
    {
        Usb_packet_device_list borrowed(list, false);
        EXPECT_EQ(0u, borrowed.get_body_size());
    }
    EXPECT_EQ(11, list[4]); // a borrowed buffer outlives its packet untouched
    BYTE empty[4] = {0, 0, 0, 0};
    Usb_packet zero(empty, false);
    EXPECT_EQ(0u, zero.get_body_size());
}

} // namespace
