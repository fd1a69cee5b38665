// Who the helper driver's device serves: the decision made for each request
// before it is handled.

#include "driver/core/HelperAccess.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct PrivilegeQuery {
    bool answer = false;
    int asked = 0;
};

bool Ask(void* context)
{
    PrivilegeQuery* query = static_cast<PrivilegeQuery*>(context);
    ++query->asked;
    return query->answer;
}

TEST(AdmitHelperRequest, OpensAndControlRequestsNeedTheKernelOrTheEnabledPrivilege)
{
    struct Case {
        uint32_t majorFunction;
        bool kernelMode;
        bool privilege;
        uint32_t status;
        int asked; // times the token is asked
    } cases[] = {
        // A user-mode caller without the privilege is refused at the open
        // and, should it hold a handle opened by someone else, at the
        // control request.
        {HELPER_MJ_CREATE, false, false, HELPER_STATUS_ACCESS_DENIED, 1},
        {HELPER_MJ_DEVICE_CONTROL, false, false, HELPER_STATUS_ACCESS_DENIED, 1},
        {HELPER_MJ_CREATE, false, true, 0, 1},
        {HELPER_MJ_DEVICE_CONTROL, false, true, 0, 1},
        // The kernel is served without asking any token.
        {HELPER_MJ_CREATE, true, false, 0, 0},
        {HELPER_MJ_DEVICE_CONTROL, true, false, 0, 0},
        // A close is never refused and never asks: it may arrive in a
        // thread that has nothing to do with the caller.
        {HELPER_MJ_CLOSE, false, false, 0, 0},
        {HELPER_MJ_CLOSE, true, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "major " << c.majorFunction << " kernel " << c.kernelMode
                                        << " privilege " << c.privilege);
        PrivilegeQuery query{c.privilege};
        const HelperCaller caller{c.kernelMode, Ask, &query};
        EXPECT_EQ(AdmitHelperRequest(c.majorFunction, caller), c.status);
        EXPECT_EQ(query.asked, c.asked);
    }
}

TEST(AdmitHelperRequest, WithoutAWayToAskTheTokenAUserModeCallerIsRefused)
{
    const HelperCaller caller{false, nullptr, nullptr};
    EXPECT_EQ(AdmitHelperRequest(HELPER_MJ_CREATE, caller), HELPER_STATUS_ACCESS_DENIED);
    EXPECT_EQ(AdmitHelperRequest(HELPER_MJ_DEVICE_CONTROL, caller), HELPER_STATUS_ACCESS_DENIED);
}

} // namespace
