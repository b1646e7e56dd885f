// Base fixture: installs the simulator, captures every log line, shortens engine waits.
#pragma once

#include "test_platform.h"

#include <gtest/gtest.h>

class Engine_fixture : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Adds the bus device and a port device for this process's session.
    void add_drivers();
    // Opens the channel and creates the globals the channel relies on, without the engine.
    void open_channel_only();
    void close_channel_only();
    DWORD own_session() const;

    Test_platform sim;
};
