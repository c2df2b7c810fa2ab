#pragma once
// The About dialog: the program's name, version, logo and maker's address,
// and a check with the update server for a newer version each time it opens.
#include <QByteArray>
#include <QDialog>
#include <QList>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSslCertificate>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QNetworkReply;

namespace quillon::ui {

// The program's own version, as the update server's answer is compared with.
inline constexpr std::string_view kOwnVersion = "5.2.0.5";

// Where the check asks. The program asks updateServer(); tests run a server
// of their own and trust its certificate through extraCaCertificates.
struct UpdateServer {
    QString host;
    int port = 443;
    QList<QSslCertificate> extraCaCertificates;
    // The whole check, connection included, gives up after this long.
    int timeoutMs = 5000;
};
UpdateServer updateServer();
// The page offered when a newer version exists.
QString downloadPageAddress();
// The maker's web address as shown, and as opened by the "->" button.
QString makerAddress();
QString makerPageAddress();

// The user agent from a product text ending in a version: "Name v1.0" and
// "Name 1.0" both give "Name/1.0".
QString userAgentFrom(const QString& text);
// "a.b.c.d" (missing parts 0) as ((a*100 + b)*100 + c)*100 + d, so a part
// of 100 or more runs into the next one.
int64_t versionNumber(std::string_view text);
// The version an answer offers, or nothing when the answer was no HTTP 200,
// does not start with a digit, or names no version newer than `own`.
std::optional<std::string> offeredVersion(int httpStatus, const QByteArray& answer, std::string_view own);

// One request for the latest version number. done() comes exactly once:
// the HTTP status (0 when there was no answer at all: refused, untrusted,
// timed out) and at most the first 15 bytes of the body.
class UpdateCheck : public QObject {
    Q_OBJECT
public:
    explicit UpdateCheck(UpdateServer server, QObject* parent = nullptr);
    ~UpdateCheck() override;
    void start();

Q_SIGNALS:
    void done(int httpStatus, QByteArray answer);

private:
    void take();
    void complete(bool failed);

    UpdateServer server_;
    QNetworkAccessManager manager_;
    QPointer<QNetworkReply> reply_;
    QTimer deadline_;
    QByteArray answer_;
    bool completed_ = false;
};

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* owner, UpdateServer server = updateServer());
    ~AboutDialog() override;
    // Set once the update check ended, whatever it found.
    bool checkDone() const { return checkDone_; }

Q_SIGNALS:
    void checkFinished();

private:
    void runCheck();
    void answered(int httpStatus, const QByteArray& answer);

    UpdateServer server_;
    std::unique_ptr<UpdateCheck> check_;
    bool checkDone_ = false;
};

// Shows the About dialog modally.
void aboutDialogRun(QWidget* owner);

// Set once the user chose to leave for the download page: the program ends
// without saving its settings.
bool quitWithoutSavingRequested();

} // namespace quillon::ui
