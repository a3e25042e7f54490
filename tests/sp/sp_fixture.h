// Shared by the SP tests: a client configuration for a loopback server and
// a fixture whose client talks to a running simulator.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "backend_sim.h"
#include "sproto/sp_common.h"
#include "test_support.h"

namespace sp_test {

inline sp_config_t make_config(std::uint16_t port, std::uint16_t apiver = 2) {
  sp_config_t c{};
  std::strcpy(c.tcp_ip, "127.0.0.1");
  std::strcpy(c.udp_ip, "127.0.0.1");
  c.tcp_port = port;
  c.udp_port = port;
  c.conn_timeout_sec = 1;
  c.rw_timeout_sec = 1;
  c.apiver = apiver;
  return c;
}

class SimClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sim.start({}), 0);
    sp_config_t c = make_config(sim.port());
    ASSERT_EQ(sp_init_conf(&c), 0);
  }
  void TearDown() override { sim.stop(); }

  ztpu_backend::BackendSim sim;
  ztpu_test::LogCapture log;
};

}  // namespace sp_test
