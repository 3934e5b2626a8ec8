// SPDX-License-Identifier: Apache-2.0
// The fwctl transport against an emulated kvc_core fwctl node.
#include <dirent.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "card_layout.h"
#include "fwupdate_msgs.h"
#include "nic_fwctl.h"
#include "nic_ipc.h"

namespace {

constexpr uint32_t k_untouched = 0xA5A5A5A5;

class FwctlExchange : public testing::Test {
  protected:
    void SetUp() override {
        char path[NIC_IPC_PATH_MAX] = {};
        ASSERT_EQ(nic_fwctl_device_path_from_crd_bdf(cards().card1.c_str(), path), 0);
        ASSERT_STREQ(path, "/dev/fwctl/fwctl0");
        ASSERT_EQ(nic_fwctl_ipc_open(&handle_, path), 0);
        ASSERT_GT(handle_.cmd_dev.fd, 0);
        fake_pci::fwctl_calls();
    }
    void TearDown() override {
        nic_fwctl_ipc_close(&handle_);
        fake_pci::set_fwctl_answer({});
    }

    fake_pci::fwctl_call only_call() {
        std::vector<fake_pci::fwctl_call> calls = fake_pci::fwctl_calls();
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? fake_pci::fwctl_call{} : calls.front();
    }

    nic_ipc_handle_s handle_{};
};

TEST_F(FwctlExchange, SendsOneRpcRecordForInAndOut) {
    fake_pci::set_fwctl_answer({.rsp_errno = 0, .rsp_len = 4, .data = {0xe0, 0xe1, 0xe2, 0xe3}});
    uint8_t buf[8] = {0xd0, 0xd1, 0xd2, 0xd3, 0x55, 0x55, 0x55, 0x55};
    uint32_t rsp_err = k_untouched;

    EXPECT_EQ(nic_fwctl_ipc_req_rsp(&handle_, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_RUNNING_IMAGE, buf, 4, 4, &rsp_err), 4);

    const fake_pci::fwctl_call call = only_call();
    EXPECT_EQ(call.request, 0x9A01u);
    EXPECT_EQ(call.rpc.size, 32u);
    EXPECT_EQ(call.rpc.scope, 1u);
    EXPECT_EQ(call.rpc.in_len, 48u);
    EXPECT_EQ(call.rpc.out_len, 48u);
    EXPECT_NE(call.rpc.in, 0u);
    EXPECT_EQ(call.rpc.out, call.rpc.in);

    nic_fwctl_rpc_s expected{};
    expected.msg = FWUPDATE_MSG_GET_RUNNING_IMAGE;
    expected.endpoint = IPC_EP_FWUPDATE;
    expected.req_len = 4;
    expected.req_data = reinterpret_cast<uintptr_t>(buf);
    expected.rsp_len = 4;
    expected.rsp_data = reinterpret_cast<uintptr_t>(buf);
    EXPECT_EQ(memcmp(&call.in, &expected, sizeof expected), 0);
    EXPECT_EQ(call.request_bytes, (std::vector<uint8_t>{0xd0, 0xd1, 0xd2, 0xd3}));

    const uint8_t after[8] = {0xe0, 0xe1, 0xe2, 0xe3, 0x55, 0x55, 0x55, 0x55};
    EXPECT_EQ(memcmp(buf, after, sizeof buf), 0);
    EXPECT_EQ(rsp_err, 0u);
}

struct scope_case {
    uint32_t endpoint;
    uint32_t msg;
    uint32_t scope;
};

class FwctlScope : public FwctlExchange, public testing::WithParamInterface<scope_case> {};

TEST_P(FwctlScope, TravelsWithTheScopeOfItsKey) {
    uint8_t buf[4] = {};
    uint32_t rsp_err = k_untouched;
    ASSERT_EQ(nic_fwctl_ipc_req_rsp(&handle_, GetParam().endpoint, GetParam().msg, buf, 0, sizeof buf, &rsp_err), 0);
    EXPECT_EQ(only_call().rpc.scope, GetParam().scope);
}

INSTANTIATE_TEST_SUITE_P(Keys, FwctlScope,
                         testing::Values(scope_case{IPC_EP_FWUPDATE, FWUPDATE_MSG_FLASH_WRITE, 1},  // key 0xD0003
                                         scope_case{25, 1, 2}, scope_case{25, 3, 1},
                                         scope_case{4, FWUPDATE_MSG_GET_FW_LIST, 2},  // key 0x50006, msg not masked
                                         scope_case{5, 6, 2}, scope_case{12, 0x50006, 1}));

TEST(FwctlScopeTable, FourteenWriteKeysAndNothingElse) {
    const uint32_t write_keys[] = {0x50006,  0x50007,  0x110007, 0x130003, 0x130005, 0x130014, 0x190000,
                                   0x190001, 0x190002, 0x190005, 0x190007, 0x190010, 0x190011, 0x1A0004};
    for (uint32_t key : write_keys)
        EXPECT_EQ(nic_fwctl_rpc_scope(key >> 16, key & 0xffff), 2u) << std::hex << key;
    for (uint32_t key : write_keys)
        EXPECT_EQ(nic_fwctl_rpc_scope((key >> 16) + 1, key & 0xffff), 1u) << std::hex << key;
    for (uint32_t msg = FWUPDATE_MSG_GET_RUNNING_IMAGE; msg <= FWUPDATE_MSG_VERIFY_SIGNATURE; ++msg)
        EXPECT_EQ(nic_fwctl_rpc_scope(IPC_EP_FWUPDATE, msg), 1u) << std::hex << msg;
}

class FwctlIoctlFailure : public FwctlExchange, public testing::WithParamInterface<int> {};

TEST_P(FwctlIoctlFailure, IsEioWithStatusAndBufferUntouched) {
    fake_pci::set_fwctl_answer({.fail_errno = GetParam()});
    uint8_t buf[4] = {1, 2, 3, 4};
    uint32_t rsp_err = k_untouched;
    errno = 0;
    EXPECT_EQ(nic_fwctl_ipc_req_rsp(&handle_, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_RUNNING_IMAGE, buf, 4, 4, &rsp_err),
              -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(rsp_err, k_untouched);
    EXPECT_EQ(buf[0], 1);
    EXPECT_GT(handle_.cmd_dev.fd, 0);
}

INSTANTIATE_TEST_SUITE_P(KernelErrors, FwctlIoctlFailure, testing::Values(EPERM, EINVAL, ENOTTY, EOPNOTSUPP, ENOMEM));

struct length_case {
    const char *name;
    fake_pci::fwctl_answer answer;
    size_t capacity;
    ssize_t result;
    int error;         // errno on failure
    uint32_t rsp_err;  // status word after the call
};

class FwctlLength : public FwctlExchange, public testing::WithParamInterface<length_case> {};

TEST_P(FwctlLength, ResultFollowsTheReportedLength) {
    const length_case &c = GetParam();
    fake_pci::set_fwctl_answer(c.answer);
    uint8_t buf[16];
    memset(buf, 0x77, sizeof buf);
    uint32_t rsp_err = k_untouched;
    errno = 0;
    EXPECT_EQ(
        nic_fwctl_ipc_req_rsp(&handle_, IPC_EP_FWUPDATE, FWUPDATE_MSG_SET_STARTUP_IMAGE, buf, 2, c.capacity, &rsp_err),
        c.result);
    if (c.result < 0) {
        EXPECT_EQ(errno, c.error);
    }
    EXPECT_EQ(rsp_err, c.rsp_err);
    EXPECT_EQ(only_call().in.rsp_len, c.capacity);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FwctlLength,
    testing::Values(length_case{"Shorter", {.rsp_errno = 0, .rsp_len = 3}, 8, 3, 0, 0},
                    length_case{"ServiceError", {.rsp_errno = 22, .rsp_len = 1}, 8, 1, 0, 22},
                    length_case{"Empty", {.rsp_errno = 0, .rsp_len = 0}, 8, 0, 0, 0},
                    length_case{"LeftAlone", {.report_len = false, .rsp_errno = 5}, 6, 6, 0, 5},
                    length_case{"Exact", {.rsp_errno = 0, .rsp_len = 8}, 8, 8, 0, 0},
                    length_case{"AboveCapacity", {.rsp_errno = 0, .rsp_len = 9}, 8, -1, EMSGSIZE, k_untouched}),
    [](const testing::TestParamInfo<length_case> &info) { return info.param.name; });

TEST(FwctlResolver, TakesTheFirstFwctlEntryInDirectoryOrder) {
    const std::string dir = fake_pci::root_dir() + "/sys/bus/pci/drivers/kvc_core/" + cards().card2_core + "/fwctl";
    std::string first;
    DIR *d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    while (const dirent *e = readdir(d)) {
        if (strstr(e->d_name, "fwctl") != nullptr) {
            first = e->d_name;
            break;
        }
    }
    closedir(d);

    char path[NIC_IPC_PATH_MAX] = {};
    ASSERT_EQ(nic_fwctl_device_path_from_crd_bdf(cards().card2.c_str(), path), 0);
    EXPECT_EQ(std::string(path), "/dev/fwctl/" + first);
}

TEST(FwctlResolver, NoNodeWithoutCoreFunctionOrDriver) {
    for (const std::string &card : {cards().card3, cards().card4, std::string("zzzz:00:00.0")}) {
        char path[NIC_IPC_PATH_MAX] = "unchanged";
        EXPECT_EQ(nic_fwctl_device_path_from_crd_bdf(card.c_str(), path), -1) << card;
        EXPECT_STREQ(path, "unchanged");
    }
}

TEST(FwctlOpenClose, ClosesOnlyDescriptorsAboveZero) {
    nic_ipc_handle_s handle{};
    EXPECT_EQ(nic_fwctl_ipc_close(&handle), 0);  // descriptor 0 is left alone
    EXPECT_EQ(handle.cmd_dev.fd, 0);

    ASSERT_EQ(nic_fwctl_ipc_open(&handle, "/dev/fwctl/fwctl0"), 0);
    const int fd = handle.cmd_dev.fd;
    ASSERT_GT(fd, 0);
    EXPECT_EQ(nic_fwctl_ipc_close(&handle), 0);
    EXPECT_EQ(handle.cmd_dev.fd, -1);
    EXPECT_EQ(nic_fwctl_ipc_close(&handle), -1);

    EXPECT_EQ(nic_fwctl_ipc_open(&handle, "/dev/fwctl/absent"), -1);
    EXPECT_LT(handle.cmd_dev.fd, 0);
}

}  // namespace
