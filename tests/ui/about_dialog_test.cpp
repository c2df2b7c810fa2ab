#include "ui/about_dialog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "support/test_support.h"
#include "ui/hooks.h"
#include "ui/input_page.h"
#include "ui/msgbox.h"

using namespace quillon;
using namespace quillon::ui;

namespace {

bool waitFor(const std::function<bool()>& condition, int ms = 20000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > ms) return false;
        QTest::qWait(5);
    }
    return true;
}

// A loopback HTTPS server that records each request head and answers as the
// test says: a status and body, or nothing at all.
class ScriptedServer : public QObject {
public:
    int status = 200;
    QByteArray body;
    bool hang = false;
    QList<QByteArray> requests;

    explicit ScriptedServer(const QSslConfiguration& tls)
    {
        server_.setSslConfiguration(tls);
        connect(&server_, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) serve(s);
        });
        EXPECT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
    }
    quint16 port() const { return server_.serverPort(); }

private:
    void serve(QTcpSocket* socket)
    {
        auto head = std::make_shared<QByteArray>();
        auto read = [this, socket, head] {
            *head += socket->readAll();
            if (!head->contains("\r\n\r\n")) return;
            requests << *head;
            head->clear();
            if (hang) return;
            const char* reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Whatever";
            QByteArray answer = "HTTP/1.1 " + QByteArray::number(status) + " " + reason +
                                "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) +
                                "\r\nConnection: close\r\n\r\n" + body;
            socket->write(answer);
            socket->disconnectFromHost();
        };
        connect(socket, &QIODevice::readyRead, this, read);
        if (socket->bytesAvailable() > 0) read();
    }

    QSslServer server_;
};

struct Box {
    QString text, caption;
    std::vector<MsgButton> buttons;
    int32_t closeValue;
};

struct AboutDialogTest : ::testing::Test {
    static inline std::unique_ptr<test::TempDir> certDir;
    static inline QByteArray certPem, keyPem;
    QSslCertificate certificate{certPem, QSsl::Pem};
    QSslKey key{keyPem, QSsl::Ec, QSsl::Pem};

    std::vector<Box> boxes;
    int32_t answer = IDNO;
    QStringList opened;
    bool shellAccepts = true;
    int quits = 0;

    static void SetUpTestSuite()
    {
        certDir = std::make_unique<test::TempDir>();
        const std::string d = test::shellQuote(certDir->path().string());
        const int rc = test::run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                                 "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                                 d + "/key.pem -out " + d + "/cert.pem 2>/dev/null");
        if (rc != 0) return;
        QFile c(QString::fromStdString((*certDir / "cert.pem").string()));
        QFile k(QString::fromStdString((*certDir / "key.pem").string()));
        if (c.open(QIODevice::ReadOnly)) certPem = c.readAll();
        if (k.open(QIODevice::ReadOnly)) keyPem = k.readAll();
    }
    static void TearDownTestSuite() { certDir.reset(); }

    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("openssl");
        ASSERT_FALSE(certificate.isNull());
        ASSERT_FALSE(key.isNull());
        uiHooks() = {};
        uiHooks().msgBox = [this](QWidget*, const QString& text, const QString& caption,
                                  const std::vector<MsgButton>& buttons, int32_t closeValue) {
            boxes.push_back({text, caption, buttons, closeValue});
            return answer;
        };
        uiHooks().shellOpen = [this](const QString& target) {
            opened << target;
            return shellAccepts;
        };
        uiHooks().quitWithoutSaving = [this] { ++quits; };
    }
    void TearDown() override { uiHooks() = {}; }

    std::unique_ptr<ScriptedServer> server()
    {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(certificate);
        tls.setPrivateKey(key);
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        return std::make_unique<ScriptedServer>(tls);
    }
    UpdateServer trusting(quint16 port, int timeoutMs = 10000)
    {
        return UpdateServer{QStringLiteral("127.0.0.1"), port, {certificate}, timeoutMs};
    }
    // A port nobody listens on.
    quint16 closedPort()
    {
        QTcpServer s;
        s.listen(QHostAddress::LocalHost, 0);
        quint16 p = s.serverPort();
        s.close();
        return p;
    }
    // Opens the dialog and waits for its check to end.
    void check(const UpdateServer& where, bool* stillShown = nullptr)
    {
        AboutDialog d(nullptr, where);
        d.show();
        ASSERT_TRUE(waitFor([&] { return d.checkDone(); }));
        if (stillShown) *stillShown = d.isVisible();
    }
};

const QString kOffer = QStringLiteral("An updated version was found!\n\nCurrent version is:  \tv5.2.0.5\nLatest version is:   "
                                      "\tv%1\n\nWould you like to go to our web-site to download it?");

TEST(UpdateCheckRules, AgentAndVersionArithmetic)
{
    EXPECT_EQ(userAgentFrom("Brevik 1.0"), "Brevik/1.0");
    EXPECT_EQ(userAgentFrom("Brevik v1.0"), "Brevik/1.0");
    EXPECT_EQ(userAgentFrom("Brevik 12"), "Brevik/12");
    EXPECT_EQ(userAgentFrom("Old Brevik v2.15"), "Old Brevik/2.15");
    EXPECT_EQ(userAgentFrom("Brevik-1.0"), "Brevik-1.0");
    // Never back into the first characters.
    EXPECT_EQ(userAgentFrom("1.0"), "1.0");
    EXPECT_EQ(userAgentFrom(""), "");

    EXPECT_EQ(versionNumber("5.2.0.100"), versionNumber("5.2.1.0"));
    EXPECT_EQ(versionNumber("5.2.0.5"), 5020005);
    EXPECT_EQ(versionNumber("5.2"), versionNumber("5.2.0.0"));
    EXPECT_EQ(versionNumber("6"), 6000000);
    EXPECT_EQ(versionNumber("5.2.x.9"), versionNumber("5.2.0.0"));
    EXPECT_EQ(versionNumber("abc"), 0);
    EXPECT_GT(versionNumber("99999999999999999999.0.0.0"), versionNumber("5.2.0.5"));

    EXPECT_EQ(offeredVersion(200, "5.2.0.6", "5.2.0.5"), "5.2.0.6");
    EXPECT_EQ(offeredVersion(200, "5.2.0.100\r\n", "5.2.0.5"), "5.2.0.100");
    EXPECT_EQ(offeredVersion(200, "5.2.0.5", "5.2.0.5"), std::nullopt);
    EXPECT_EQ(offeredVersion(200, "5.1.9.99", "5.2.0.5"), std::nullopt);
    EXPECT_EQ(offeredVersion(404, "5.3.0.0", "5.2.0.5"), std::nullopt);
    EXPECT_EQ(offeredVersion(0, "5.3.0.0", "5.2.0.5"), std::nullopt);
    EXPECT_EQ(offeredVersion(200, " 5.3.0.0", "5.2.0.5"), std::nullopt);
    EXPECT_EQ(offeredVersion(200, "0.0.0.0", "0.0.0.0"), std::nullopt);
    // Only the first 15 bytes are the answer.
    EXPECT_EQ(offeredVersion(200, "5.2.0.5000000000", "5.2.0.5"), "5.2.0.500000000");
}

TEST_F(AboutDialogTest, NewerVersionsAreOfferedAfterAProperRequest)
{
    auto s = server();
    for (const char* latest : {"5.2.0.6", "5.3.0.0"}) {
        boxes.clear();
        s->body = latest;
        bool shown = false;
        check(trusting(s->port()), &shown);
        ASSERT_EQ(boxes.size(), 1u) << latest;
        EXPECT_EQ(boxes[0].text, kOffer.arg(latest));
        EXPECT_EQ(boxes[0].caption, "Quillon");
        ASSERT_EQ(boxes[0].buttons.size(), 2u);
        EXPECT_EQ(boxes[0].buttons[0].label, "Yes, take me there");
        EXPECT_EQ(boxes[0].buttons[0].value, IDYES);
        EXPECT_EQ(boxes[0].buttons[1].label, "Not now");
        EXPECT_EQ(boxes[0].buttons[1].value, IDNO);
        EXPECT_EQ(boxes[0].closeValue, IDNO);
        // "Not now" goes back to the dialog.
        EXPECT_TRUE(shown);
    }
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_EQ(quits, 0);

    ASSERT_EQ(s->requests.size(), 2);
    const QList<QByteArray> lines = s->requests[0].split('\n');
    EXPECT_EQ(lines[0].trimmed(), "GET /ver/Quillon.txt HTTP/1.1");
    QByteArray agent, host;
    for (const QByteArray& l : lines) {
        if (l.toLower().startsWith("user-agent:")) agent = l.mid(11).trimmed();
        if (l.toLower().startsWith("host:")) host = l.mid(5).trimmed();
    }
    EXPECT_EQ(agent, "Brevik/1.0");
    EXPECT_EQ(host, "127.0.0.1:" + QByteArray::number(s->port()));

    // A long answer is cut to its first bytes, which still name the version.
    boxes.clear();
    s->body = "5.4.0.0\r\n" + QByteArray(200000, 'x');
    check(trusting(s->port()));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kOffer.arg("5.4.0.0"));
}

TEST_F(AboutDialogTest, AnswersThatAreNotNewerVersionsOfferNothing)
{
    auto s = server();
    const std::pair<int, QByteArray> answers[] = {
        {200, "5.2.0.5"}, {200, "5.2.0.4"}, {200, "abc"}, {200, ""}, {200, "v5.3.0.0"},
        // An error page that starts with digits.
        {404, "5.3.0.0"},
        {500, "9.9.9.9"},
    };
    for (const auto& [status, body] : answers) {
        s->status = status;
        s->body = body;
        check(trusting(s->port()));
        EXPECT_TRUE(boxes.empty()) << status << " " << body.toStdString();
        boxes.clear();
    }
    // Each was asked, so the silence is the answer's doing.
    EXPECT_EQ(s->requests.size(), qsizetype(std::size(answers)));
}

TEST_F(AboutDialogTest, RefusedHangingOrUntrustedServersOfferNothing)
{
    check(trusting(closedPort()));
    EXPECT_TRUE(boxes.empty());

    auto s = server();
    s->body = "5.3.0.0";
    s->hang = true;
    bool shown = false;
    check(trusting(s->port(), 1500), &shown);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(s->requests.size(), 1);
    EXPECT_TRUE(shown);

    // Without trust in its certificate the server is never asked.
    s->hang = false;
    UpdateServer untrusted = trusting(s->port());
    untrusted.extraCaCertificates.clear();
    check(untrusted);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(s->requests.size(), 1);
}

TEST_F(AboutDialogTest, YesOpensTheDownloadPageAndEndsTheProgram)
{
    auto s = server();
    s->body = "5.2.1.0";
    answer = IDYES;
    shellAccepts = false;
    bool shown = false;
    check(trusting(s->port()), &shown);
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0], downloadPageAddress());
    EXPECT_TRUE(opened[0].startsWith("https://"));
    // No browser: the program goes on.
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(shown);
    EXPECT_FALSE(quitWithoutSavingRequested());

    shellAccepts = true;
    check(trusting(s->port()), &shown);
    EXPECT_EQ(opened.size(), 2);
    EXPECT_EQ(quits, 1);
    EXPECT_FALSE(shown);
    EXPECT_TRUE(quitWithoutSavingRequested());
}

TEST_F(AboutDialogTest, TitleLinkAndLogo)
{
    AboutDialog d(nullptr, trusting(closedPort()));
    EXPECT_TRUE(d.windowTitle().startsWith("About - Quillon v5.2.0.5 ")) << d.windowTitle().toStdString();
    d.show();
    ASSERT_TRUE(waitFor([&] { return d.checkDone(); }));
    auto* go = d.findChild<QPushButton*>("ctl413");
    ASSERT_NE(go, nullptr);
    QTest::mouseClick(go, Qt::LeftButton);
    EXPECT_EQ(opened, QStringList{makerPageAddress()});
    EXPECT_TRUE(d.isVisible());
    auto* logo = d.findChild<QAbstractButton*>("ctl407");
    ASSERT_NE(logo, nullptr);
    QTest::mouseClick(logo, Qt::LeftButton);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), 0);
}

TEST_F(AboutDialogTest, TheInputPagesAboutButtonOpensIt)
{
    InputPage page;
    auto* about = page.controls().button(CMD_ABOUT);
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isEnabled());
    // Closed before its check starts, so nothing leaves the machine.
    QString title;
    QTimer::singleShot(0, [&] {
        if (auto* d = qobject_cast<AboutDialog*>(QApplication::activeModalWidget())) {
            title = d->windowTitle();
            d->done(0);
        }
    });
    QTest::mouseClick(about, Qt::LeftButton);
    EXPECT_TRUE(title.startsWith("About - Quillon")) << title.toStdString();
}

} // namespace
