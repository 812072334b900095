// The simulated Windows driving the whole service: a short story told end to end.
#include "host/service_state.h"
#include "sim/sim_windows.h"

#include <gtest/gtest.h>

namespace {

TEST(simulated_run, a_companion_that_ends_by_itself_is_relaunched_and_stopped_gracefully)
{
    // Console session 1; the first companion exits with 3 after 10 s; stop at 30 s.
    sim::world world;
    the_service = {};
    world.console_session(1);
    world.next_companions({sim::exits_after(10000, 3)});
    world.at(30000).stop();

    const int exit_status = world.run_service();

    EXPECT_EQ(exit_status, 0) << "a normal run exits 0, whatever the dispatcher itself returned";
    EXPECT_EQ(world.cwd(), WIDE("C:\\Orvane"));
    auto launched = world.companions();
    ASSERT_EQ(launched.size(), 2u);
    EXPECT_EQ(launched[0]->started_at, 3000u) << "first launch after the 3 s poll";
    EXPECT_EQ(launched[0]->exit_code, 3u);
    EXPECT_EQ(launched[1]->started_at, 16000u) << "relaunch 3 s after the end at 13 s";
    EXPECT_EQ(launched[1]->session, 1u);
    EXPECT_EQ(launched[1]->ctrl_c_at, std::optional<sim::virtual_ms>(30000));
    EXPECT_EQ(launched[1]->ended, sim::end_reason::ctrl_c);
    ASSERT_EQ(world.helpers().size(), 1u);
    EXPECT_EQ(world.helpers()[0]->exit_code, 0u);
    EXPECT_EQ(world.reports().back().status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(world.live(), sim::world::run_long());
    EXPECT_TRUE(world.faults().empty()) << world.faults().front();
}

} // namespace
