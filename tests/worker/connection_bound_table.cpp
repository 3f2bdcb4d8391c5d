// The pipe's per-connection bound as a table: a connection's requests are executed up to the
// bound, and every one after it is read and dropped.
#include "worker/pipe_connection.h"

#include <gtest/gtest.h>

namespace {

TEST(ConnectionBoundTable, AConnectionExecutesSixteenRequestsAndNotTheSeventeenth)
{
    ASSERT_EQ(16u, worker_pipe::requests_per_connection);
    struct Row {
        DWORD executed;
        bool another;
    } rows[] = {{0, true}, {1, true}, {14, true}, {15, true}, {16, false}, {17, false}, {0xFFFFFFFFu, false}};
    for (const Row& r : rows)
        EXPECT_EQ(r.another, worker_pipe::connection_may_execute(r.executed)) << r.executed << " executed";
}

} // namespace
