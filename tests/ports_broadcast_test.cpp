// Where UDP output is broadcast: the classful address of the host, unless
// an interface shares the preferred address's subnet, whose own broadcast
// address then wins.
#include <gtest/gtest.h>
#include "driver/driver.h"
#include <vector>

namespace {

DWORD Ip(int a, int b, int c, int d)
{
    return (static_cast<DWORD>(a) << 24) | (b << 16) | (c << 8) | static_cast<DWORD>(d);
}

INTERFACE_INFO Interface(DWORD address, DWORD mask, u_short maskFamily = AF_INET)
{
    INTERFACE_INFO record = {};
    record.iiFlags = IFF_UP | IFF_BROADCAST;
    record.iiAddress.AddressIn.sin_family = AF_INET;
    record.iiAddress.AddressIn.sin_addr.s_addr = htonl(address);
    record.iiNetmask.AddressIn.sin_family = maskFamily;
    record.iiNetmask.AddressIn.sin_addr.s_addr = htonl(mask);
    return record;
}

DWORD Compute(DWORD host, DWORD preferred, const std::vector<INTERFACE_INFO> &list)
{
    return ComputeBroadcastAddress(host, preferred, list.empty() ? nullptr : list.data(),
                                   static_cast<int>(list.size()));
}

TEST(BroadcastAddress, ClassfulWhenNoInterfaceMatches)
{
    EXPECT_EQ(Compute(Ip(10, 1, 2, 3), 0, {}), Ip(10, 255, 255, 255));
    EXPECT_EQ(Compute(Ip(172, 16, 5, 9), 0, {}), Ip(172, 16, 255, 255));
    EXPECT_EQ(Compute(Ip(192, 168, 1, 20), 0, {}), Ip(192, 168, 1, 255));
    // Class boundaries: the top bits alone decide.
    EXPECT_EQ(Compute(Ip(127, 0, 0, 1), 0, {}), Ip(127, 255, 255, 255));
    EXPECT_EQ(Compute(Ip(128, 0, 0, 1), 0, {}), Ip(128, 0, 255, 255));
    EXPECT_EQ(Compute(Ip(191, 255, 0, 1), 0, {}), Ip(191, 255, 255, 255));
    EXPECT_EQ(Compute(Ip(224, 1, 2, 3), 0, {}), Ip(224, 1, 2, 255));

    // Interfaces of other subnets leave the classful address.
    std::vector<INTERFACE_INFO> others = {Interface(Ip(127, 0, 0, 1), Ip(255, 0, 0, 0)),
                                          Interface(Ip(10, 9, 9, 9), Ip(255, 255, 0, 0))};
    EXPECT_EQ(Compute(Ip(192, 168, 1, 20), Ip(192, 168, 1, 20), others), Ip(192, 168, 1, 255));
}

TEST(BroadcastAddress, InterfaceOfTheHostsSubnetWins)
{
    std::vector<INTERFACE_INFO> list = {Interface(Ip(127, 0, 0, 1), Ip(255, 0, 0, 0)),
                                        Interface(Ip(192, 168, 1, 20), Ip(255, 255, 0, 0))};
    EXPECT_EQ(Compute(Ip(192, 168, 1, 20), Ip(192, 168, 1, 20), list), Ip(192, 168, 255, 255));
}

TEST(BroadcastAddress, PreferredAddressDecides)
{
    // The configured TCP address names the subnet, not the host's own address.
    std::vector<INTERFACE_INFO> list = {Interface(Ip(127, 0, 0, 1), Ip(255, 0, 0, 0)),
                                        Interface(Ip(10, 0, 0, 5), Ip(255, 255, 255, 0))};
    EXPECT_EQ(Compute(Ip(127, 0, 0, 1), Ip(10, 0, 0, 7), list), Ip(10, 0, 0, 255));
    // The result keeps the preferred address's host bits under the mask:
    // ~mask | preferred, not the interface's address.
    EXPECT_EQ(Compute(Ip(127, 0, 0, 1), Ip(10, 0, 0, 7),
                      {Interface(Ip(10, 0, 0, 5), Ip(255, 255, 0, 0))}),
              Ip(10, 0, 255, 255));
}

TEST(BroadcastAddress, FirstMatchingRecordWinsAndForeignMasksAreSkipped)
{
    std::vector<INTERFACE_INFO> list = {
        Interface(Ip(10, 0, 0, 5), Ip(255, 255, 255, 0), AF_INET6),  // not an IPv4 mask
        Interface(Ip(10, 0, 0, 6), Ip(255, 255, 0, 0)),
        Interface(Ip(10, 0, 0, 5), Ip(255, 255, 255, 0))};
    EXPECT_EQ(Compute(Ip(127, 0, 0, 1), Ip(10, 0, 0, 7), list), Ip(10, 0, 255, 255));

    // Only the records counted are looked at.
    EXPECT_EQ(ComputeBroadcastAddress(Ip(172, 16, 5, 9), Ip(10, 0, 0, 7), list.data(), 1),
              Ip(172, 16, 255, 255));
}

}  // namespace
