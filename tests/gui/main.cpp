// The desktop program's tests drive real widgets, so one QApplication lives for the run; it
// is offscreen unless a display was asked for.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QLocale>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("QT_SCALE_FACTOR", "1", 0);
    QLocale::setDefault(QLocale::c());
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
