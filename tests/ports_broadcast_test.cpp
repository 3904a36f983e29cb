// Where UDP output is broadcast: the classful address of the host, unless
// an IPv4 interface shares the preferred address's subnet; the first such
// record gives the mask, and the result is ~mask | preferred.
#include <gtest/gtest.h>
#include "driver/driver.h"

namespace {

DWORD Ip(DWORD a, DWORD b, DWORD c, DWORD d) { return a << 24 | b << 16 | c << 8 | d; }

INTERFACE_INFO Interface(DWORD address, DWORD mask, u_short maskFamily = AF_INET)
{
    INTERFACE_INFO record = {};
    record.iiAddress.AddressIn.sin_family = AF_INET;
    record.iiAddress.AddressIn.sin_addr.s_addr = htonl(address);
    record.iiNetmask.AddressIn.sin_family = maskFamily;
    record.iiNetmask.AddressIn.sin_addr.s_addr = htonl(mask);
    return record;
}

TEST(BroadcastAddress, ClassfulUnlessAnInterfaceSharesThePreferredSubnet)
{
    const INTERFACE_INFO list[] = {Interface(Ip(10, 0, 0, 5), Ip(255, 255, 255, 0), AF_INET6),
                                   Interface(Ip(127, 0, 0, 1), Ip(255, 0, 0, 0)),
                                   Interface(Ip(10, 0, 0, 6), Ip(255, 255, 0, 0)),
                                   Interface(Ip(10, 0, 0, 5), Ip(255, 255, 255, 0))};
    struct Row {
        DWORD host, preferred;
        int count;  // records looked at, from the start of the list
        DWORD expected;
    } rows[] = {
        {Ip(10, 1, 2, 3), 0, 0, Ip(10, 255, 255, 255)},  // classful: the top bits decide
        {Ip(128, 0, 0, 1), 0, 0, Ip(128, 0, 255, 255)},
        {Ip(191, 255, 0, 1), 0, 0, Ip(191, 255, 255, 255)},
        {Ip(192, 168, 1, 20), 0, 0, Ip(192, 168, 1, 255)},
        {Ip(192, 168, 1, 20), Ip(192, 168, 1, 20), 4, Ip(192, 168, 1, 255)},  // no subnet matches
        // The preferred address names the subnet. A
        // mask of another family is skipped; the first match wins.
        {Ip(192, 168, 1, 20), Ip(10, 0, 0, 7), 4, Ip(10, 0, 255, 255)},
        {Ip(192, 168, 1, 20), Ip(10, 0, 0, 7), 2, Ip(192, 168, 1, 255)},
        {Ip(192, 168, 1, 20), Ip(127, 9, 9, 9), 4, Ip(127, 255, 255, 255)},
    };
    for (const Row &row : rows)
        EXPECT_EQ(ComputeBroadcastAddress(row.host, row.preferred, list, row.count), row.expected)
            << std::hex << row.host << " preferred " << row.preferred << " count " << row.count;
}

}  // namespace
