#include "app/AppModule.h"

#include <gtest/gtest.h>

#include <thread>

#include "app/MessageLoop.h"

namespace {

// Each thread sees only its own loop; removal takes out only the caller's entry
// and closes the gap, so the entries after it are still found.
TEST(AppModule, LoopsAreLookedUpPerThread) {
  CAppModule module;
  CMessageLoop mine, first, middle, third;
  module.AddLoop(&mine);  // not initialised: nothing is registered
  EXPECT_EQ(module.FindLoop(), nullptr);
  module.Init();
  module.AddLoop(&mine);

  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CMessageLoop* loops[3] = {&first, &middle, &third};
  CMessageLoop* foundBefore[3] = {};
  CMessageLoop* foundAfter[3] = {};
  std::thread threads[3];
  for (int i = 0; i < 3; ++i) {
    HANDLE registered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    threads[i] = std::thread([&, i, registered] {
      module.AddLoop(loops[i]);
      foundBefore[i] = module.FindLoop();
      SetEvent(registered);
      WaitForSingleObject(go, 30000);
      if (i == 1) module.RemoveLoop();
      foundAfter[i] = module.FindLoop();
    });
    ASSERT_EQ(WaitForSingleObject(registered, 30000), WAIT_OBJECT_0);  // registration order 0, 1, 2
    CloseHandle(registered);
  }
  EXPECT_EQ(module.FindLoop(), &mine);
  SetEvent(go);
  for (auto& t : threads) t.join();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(foundBefore[i], loops[i]) << i;
  EXPECT_EQ(foundAfter[0], &first);
  EXPECT_EQ(foundAfter[1], nullptr);
  EXPECT_EQ(foundAfter[2], &third);
  EXPECT_EQ(module.FindLoop(), &mine);

  std::thread([&] {
    EXPECT_EQ(module.FindLoop(), nullptr);
    module.RemoveLoop();  // no entry of its own: nobody else's goes
  }).join();
  EXPECT_EQ(module.FindLoop(), &mine);
  module.RemoveLoop();
  EXPECT_EQ(module.FindLoop(), nullptr);

  module.AddLoop(&first);
  module.Term();
  EXPECT_EQ(module.FindLoop(), nullptr);
  CloseHandle(go);
}

}  // namespace
