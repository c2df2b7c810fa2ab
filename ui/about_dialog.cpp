#include "ui/about_dialog.h"

#include <QApplication>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QPushButton>
#include <QSslConfiguration>
#include <QStyle>
#include <QSysInfo>
#include <QUrl>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>

#include "ui/hooks.h"
#include "ui/msgbox.h"
#include "ui/ui_kit.h"

namespace quillon::ui {

namespace {

// Texts kept out of the binary's plain strings; they are put together only
// when the check needs them.
template <size_t N>
struct Scrambled {
    std::array<uint8_t, N - 1> bytes;
};

constexpr uint8_t scrambleKey(size_t i) { return uint8_t(0x5A + 7 * i); }

template <size_t N>
consteval Scrambled<N> scramble(const char (&text)[N])
{
    Scrambled<N> s{};
    for (size_t i = 0; i + 1 < N; ++i) s.bytes[i] = uint8_t(uint8_t(text[i]) ^ scrambleKey(i));
    return s;
}

template <size_t N>
QString unscramble(const Scrambled<N>& s)
{
    QByteArray text(qsizetype(N - 1), '\0');
    for (size_t i = 0; i + 1 < N; ++i) text[qsizetype(i)] = char(s.bytes[i] ^ scrambleKey(i));
    return QString::fromLatin1(text);
}

// The program's addresses, all in one place.
constexpr auto kUpdateHost = scramble("update.quillon.org");
constexpr auto kDownloadPage = scramble("https://www.quillon.org/download/");
constexpr char kMakerAddress[] = "www.quillon.org";

constexpr char kProduct[] = "Quillon";
constexpr char kAgentText[] = "Brevik 1.0";
// The answer is a version number; more than this is never read.
constexpr qsizetype kAnswerLimit = 15;

bool quitRequested = false;

bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }

// A logo to click: the dialog closes on it.
class LogoButton : public QAbstractButton {
public:
    explicit LogoButton(QWidget* parent) : QAbstractButton(parent) { setCursor(Qt::PointingHandCursor); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const int side = std::min(64, height() - 8);
        QFont f = font();
        f.setPointSizeF(f.pointSizeF() * 2.4);
        f.setBold(true);
        const QString name = QString::fromLatin1(kProduct);
        const int textWidth = QFontMetrics(f).horizontalAdvance(name);
        const int gap = side / 4;
        const int left = (width() - side - gap - textWidth) / 2;
        p.drawPixmap(left, (height() - side) / 2, appIcon().pixmap(side, side));
        p.setFont(f);
        p.setPen(titleColour());
        p.drawText(QRect(left + side + gap, 0, textWidth + 2, height()), Qt::AlignVCenter | Qt::AlignLeft, name);
    }
    QSize sizeHint() const override { return {248, 96}; }
};

} // namespace

UpdateServer updateServer()
{
    UpdateServer s;
    s.host = unscramble(kUpdateHost);
    return s;
}

QString downloadPageAddress() { return unscramble(kDownloadPage); }
QString makerAddress() { return QString::fromLatin1(kMakerAddress); }
QString makerPageAddress() { return QStringLiteral("https://") + makerAddress(); }

QString userAgentFrom(const QString& text)
{
    QString agent = text.left(255);
    // Back over the version number at the end ("1" or "1.0"), never further
    // than the fourth character.
    qsizetype i = agent.size();
    while (i > 3 && isDigit(agent[i - 1])) --i;
    if (i > 3 && agent[i - 1] == u'.') {
        --i;
        while (i > 3 && isDigit(agent[i - 1])) --i;
    }
    if (i >= 1 && agent[i - 1] == u'v') {
        agent.remove(i - 1, 1);
        --i;
    }
    if (i >= 1 && agent[i - 1] == u' ') agent[i - 1] = u'/';
    return agent;
}

int64_t versionNumber(std::string_view text)
{
    int64_t parts[4] = {0, 0, 0, 0};
    size_t i = 0;
    for (int k = 0; k < 4; ++k) {
        if (k > 0) {
            if (i >= text.size() || text[i] != '.') break;
            ++i;
        }
        size_t j = i;
        while (j < text.size() && (text[j] == ' ' || (text[j] >= '\t' && text[j] <= '\r'))) ++j;
        bool negative = false;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) negative = text[j++] == '-';
        if (j >= text.size() || text[j] < '0' || text[j] > '9') break;
        // A hostile answer's huge part stays within range rather than wrapping.
        int64_t v = 0;
        for (; j < text.size() && text[j] >= '0' && text[j] <= '9'; ++j) v = std::min<int64_t>(v * 10 + (text[j] - '0'), INT_MAX);
        parts[k] = negative ? -v : v;
        i = j;
    }
    return ((parts[0] * 100 + parts[1]) * 100 + parts[2]) * 100 + parts[3];
}

std::optional<std::string> offeredVersion(int httpStatus, const QByteArray& answer, std::string_view own)
{
    // An error page may start with digits too; only a real answer counts.
    if (httpStatus != 200) return std::nullopt;
    std::string text(answer.constData(), size_t(std::min(answer.size(), kAnswerLimit)));
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    const int64_t latest = versionNumber(text);
    if (latest == 0 || latest <= versionNumber(own)) return std::nullopt;
    // The number as shown: up to the end of its line.
    size_t end = 0;
    while (end < text.size() && uint8_t(text[end]) > ' ') ++end;
    text.resize(end);
    return text;
}

// ---- the check ----

UpdateCheck::UpdateCheck(UpdateServer server, QObject* parent) : QObject(parent), server_(std::move(server))
{
    manager_.setProxy(QNetworkProxy::NoProxy);
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] { complete(true); });
}

UpdateCheck::~UpdateCheck()
{
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        delete reply_;
    }
}

void UpdateCheck::start()
{
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(server_.host);
    if (server_.port != 443) url.setPort(server_.port);
    url.setPath(QStringLiteral("/ver/%1.txt").arg(QString::fromLatin1(kProduct)));
    QNetworkRequest request(url);
    request.setRawHeader("User-Agent", userAgentFrom(QString::fromLatin1(kAgentText)).toLatin1());
    request.setTransferTimeout(server_.timeoutMs);
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    if (!server_.extraCaCertificates.isEmpty()) ssl.addCaCertificates(server_.extraCaCertificates);
    request.setSslConfiguration(ssl);
    reply_ = manager_.get(request);
    connect(reply_, &QNetworkReply::readyRead, this, &UpdateCheck::take);
    connect(reply_, &QNetworkReply::finished, this, [this] { complete(false); });
    deadline_.start(server_.timeoutMs);
}

void UpdateCheck::take()
{
    if (!reply_ || completed_) return;
    answer_ += reply_->read(kAnswerLimit - answer_.size());
    // Whatever else the server sends is of no interest.
    if (answer_.size() >= kAnswerLimit) complete(false);
}

void UpdateCheck::complete(bool failed)
{
    if (completed_) return;
    completed_ = true;
    deadline_.stop();
    int status = 0;
    if (reply_) {
        if (!failed && answer_.size() < kAnswerLimit) answer_ += reply_->read(kAnswerLimit - answer_.size());
        const bool finished = reply_->isFinished();
        // A transfer cut short is no answer, even after a good status line;
        // an HTTP error keeps its status.
        const int error = reply_->error();
        const bool httpError = (error >= QNetworkReply::ContentAccessDenied && error < QNetworkReply::ProtocolUnknownError) ||
                               error >= QNetworkReply::InternalServerError;
        if (!failed && (!finished || error == QNetworkReply::NoError || httpError))
            status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        reply_->disconnect(this);
        if (!finished) reply_->abort();
        reply_->deleteLater();
        reply_ = nullptr;
    }
    if (status == 0) answer_.clear();
    Q_EMIT done(status, answer_);
}

// ---- the dialog ----

AboutDialog::AboutDialog(QWidget* owner, UpdateServer server) : QDialog(owner), server_(std::move(server))
{
    setWindowTitle(QStringLiteral("About - Quillon v%1 %2")
                       .arg(QString::fromLatin1(kOwnVersion.data(), qsizetype(kOwnVersion.size())),
                            QSysInfo::buildCpuArchitecture()));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    applyDialogColours(this);
    dialogSetIcons(this);

    // Positions in dialog units of the dialog's font.
    const QFontMetrics fm(font());
    const double baseX = (fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) + 26) / 52;
    const double baseY = fm.height();
    auto place = [&](QWidget* w, int x, int y, int width, int height) {
        w->setGeometry(int(x * baseX / 4), int(y * baseY / 8), int(width * baseX / 4 + 0.5),
                       int(height * baseY / 8 + 0.5));
    };
    setFixedSize(int(250 * baseX / 4 + 0.5), int(135 * baseY / 8 + 0.5));

    auto* logo = new LogoButton(this);
    logo->setObjectName(QStringLiteral("ctl407"));
    logo->setAccessibleName(QStringLiteral("Quillon"));
    place(logo, 1, 28, 248, 59);
    auto* icon = new QLabel(this);
    place(icon, 7, 2, 20, 20);
    icon->setPixmap(appIcon().pixmap(icon->height(), icon->height()));
    auto* name = new QLabel(QString::fromLatin1(kProduct), this);
    place(name, 37, 2, 68, 8);
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    auto* what = new QLabel(QStringLiteral("Image File Format Batch Converter"), this);
    place(what, 37, 12, 212, 8);
    for (int y : {24, 108}) {
        auto* line = new QFrame(this);
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        place(line, 0, y, 251, 1);
        line->setMinimumHeight(2);
    }
    auto* web = new QLabel(this);
    place(web, 85, 118, 21, 20);
    web->setPixmap(style()->standardIcon(QStyle::SP_DriveNetIcon).pixmap(web->height(), web->height()));
    auto* address = new QLabel(makerAddress(), this);
    address->setObjectName(QStringLiteral("makerAddress"));
    place(address, 114, 118, 115, 8);
    address->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    address->adjustSize();
    address->move(int(229 * baseX / 4) - address->width(), address->y());
    auto* go = new QPushButton(QStringLiteral("->"), this);
    go->setObjectName(QStringLiteral("ctl413"));
    go->setFlat(true);
    go->setAutoDefault(false);
    place(go, 232, 116, 14, 12);

    connect(logo, &QAbstractButton::clicked, this, [this] { done(0); });
    connect(go, &QPushButton::clicked, this, [] { shellOpen(makerPageAddress()); });
    // The check starts once the dialog is up, as a posted request would.
    QTimer::singleShot(0, this, &AboutDialog::runCheck);
}

AboutDialog::~AboutDialog()
{
    // An answer that arrives now has no dialog to go to.
    if (check_) check_->disconnect(this);
    check_.reset();
}

void AboutDialog::runCheck()
{
    if (check_) return;
    check_ = std::make_unique<UpdateCheck>(server_);
    connect(check_.get(), &UpdateCheck::done, this, &AboutDialog::answered);
    check_->start();
}

void AboutDialog::answered(int httpStatus, const QByteArray& answer)
{
    const std::optional<std::string> latest = offeredVersion(httpStatus, answer, kOwnVersion);
    if (latest) {
        const QString text =
            QStringLiteral("An updated version was found!\n\nCurrent version is:  \tv%1\nLatest version is:   \tv%2\n\n"
                           "Would you like to go to our web-site to download it?")
                .arg(QString::fromLatin1(kOwnVersion.data(), qsizetype(kOwnVersion.size())),
                     QString::fromLatin1(latest->data(), qsizetype(latest->size())));
        const int32_t choice = msgBoxCustom(this, text, QString::fromLatin1(kProduct),
                                            {{QStringLiteral("Yes, take me there"), IDYES}, {QStringLiteral("Not now"), IDNO}},
                                            IDNO);
        // A browser that could not be started leaves the program running.
        if (choice == IDYES && shellOpen(downloadPageAddress())) {
            quitRequested = true;
            done(0);
            if (auto& hook = uiHooks().quitWithoutSaving) hook();
            else QCoreApplication::exit(0);
        }
    }
    checkDone_ = true;
    Q_EMIT checkFinished();
}

void aboutDialogRun(QWidget* owner)
{
    AboutDialog dialog(owner);
    dialog.exec();
}

bool quitWithoutSavingRequested() { return quitRequested; }

} // namespace quillon::ui
