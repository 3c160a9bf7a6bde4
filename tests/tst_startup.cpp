// SPDX-License-Identifier: MIT
// The platform chosen before the application starts: the environment in, the platform out.

#include "startup.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void waylandSessionsRunOnXWayland_data()
    {
        QTest::addColumn<QString>("env"); // NAME=value, separated by spaces
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<bool>("xUp");
        QTest::addColumn<QByteArray>("platform");
        QTest::addColumn<bool>("session"); // a graphical session to run in
        const QString wayland = "XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-0 DISPLAY=:0";
        QTest::newRow("wayland with XWayland") << wayland << "" << true << QByteArray("xcb") << true;
        QTest::newRow("only WAYLAND_DISPLAY says so") << "WAYLAND_DISPLAY=w DISPLAY=:1" << "" << true << QByteArray("xcb") << true;
        QTest::newRow("XWayland not running") << wayland << "" << false << QByteArray() << true;
        QTest::newRow("no DISPLAY") << "XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=w" << "" << true << QByteArray() << true;
        QTest::newRow("chosen by QT_QPA_PLATFORM") << wayland + " QT_QPA_PLATFORM=wayland" << "" << true << QByteArray() << true;
        QTest::newRow("chosen by -platform") << wayland << "-platform wayland" << true << QByteArray() << true;
        QTest::newRow("X11 session") << "XDG_SESSION_TYPE=x11 DISPLAY=:0" << "" << true << QByteArray() << true;
        QTest::newRow("X server gone") << "DISPLAY=:0" << "--version" << false << QByteArray() << false;
        QTest::newRow("no session at all") << "HOME=/root" << "--help" << true << QByteArray() << false;
        QTest::newRow("offscreen chosen") << "QT_QPA_PLATFORM=offscreen" << "--version" << false << QByteArray() << true;
    }
    void waylandSessionsRunOnXWayland()
    {
        QFETCH(QString, env);
        QFETCH(QString, arguments);
        QFETCH(bool, xUp);
        QFETCH(QByteArray, platform);
        QProcessEnvironment e;
        for (const QString &kv : env.split(u' '))
            e.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
        QString asked;
        const QByteArray chosen = chooseQtPlatform(e, arguments.split(u' ', Qt::SkipEmptyParts), [&](const QString &display) {
            asked = display;
            return xUp;
        });
        QCOMPARE(chosen, platform);
        if (!platform.isEmpty())
            QCOMPARE(asked, e.value(QStringLiteral("DISPLAY")));
        QFETCH(bool, session);
        QCOMPARE(graphicalSessionFound(e, arguments.split(u' ', Qt::SkipEmptyParts), [&](const QString &) { return xUp; }),
                 session);
    }

    void localDisplaysAreReachableWhenTheirSocketExists()
    {
        QTemporaryDir dir;
        QFile socket(dir.filePath(QStringLiteral("X3")));
        QVERIFY(socket.open(QIODevice::WriteOnly));
        QVERIFY(xDisplayReachable(QStringLiteral(":3"), dir.path()));
        QVERIFY(xDisplayReachable(QStringLiteral("unix:3.0"), dir.path()));
        QVERIFY(!xDisplayReachable(QStringLiteral(":0"), dir.path()));
        QVERIFY(xDisplayReachable(QStringLiteral("otherhost:0"), dir.path()));
        QVERIFY(!xDisplayReachable(QString(), dir.path()));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
