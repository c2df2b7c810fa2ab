// Widget tests need one application object for the whole run; they run
// headless on the offscreen platform.
#include <QApplication>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <functional>

#if defined(__SANITIZE_THREAD__)
// Qt's raster engine splits large fills into parts run on Qt's global thread
// pool and waits for them on a semaphore; Qt is not built for the thread
// sanitizer, so neither that hand-over nor the pool's own locking is visible
// to it, and every painted window would report races inside Qt. Under the
// thread sanitizer the tests run those parts on the painting thread itself
// (this definition takes the place of Qt's for its callers), so every thread
// left in the process is one of ours and all its synchronisation is seen.
void QThreadPool::start(std::function<void()> functionToRun, int)
{
    functionToRun();
}
#endif

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
