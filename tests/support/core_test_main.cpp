// Runs the tests inside a QCoreApplication, so that timers and serial ports can be created.
// Tests never wait for a timer: they call the tick handlers themselves.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
