#pragma once
// One QApplication for a whole test program on Qt's offscreen platform. Settings and the
// one-instance lock go to folders of this test run, never the user's.
//
//   [[maybe_unused]] ::testing::Environment* const environment =
//       ::testing::AddGlobalTestEnvironment(new OffscreenApplication("transfer-tests"));
#include <gtest/gtest.h>

#include <QApplication>
#include <QByteArray>
#include <memory>
#include <string>

#include "temp_dir.h"

namespace corva::station::test {

class OffscreenApplication : public ::testing::Environment {
public:
    // `screenConfig`: a JSON file of the offscreen platform (the screen's size), or empty
    // for the platform's default screen.
    explicit OffscreenApplication(std::string name, QByteArray screenConfig = {});
    void SetUp() override;
    void TearDown() override;

private:
    std::string name_;
    QByteArray screenConfig_;
    int argc_ = 1;
    char* argv_[2] = {nullptr, nullptr};
    std::unique_ptr<corva::test::TempDir> home_;
    std::unique_ptr<QApplication> app_;
};

}  // namespace corva::station::test
