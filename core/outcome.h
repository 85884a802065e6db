// The fifteen ways an attempt ends, the four questions the worker may ask,
// and every other text the user sees. All texts are Simplified Chinese and
// shown exactly as written here.
#pragma once

// code, name, message
#define QV_OUTCOME_LIST(X)                                                                          \
  X(0, S_CONNECTED, L"接入成功。请打开 Quenvale 服务商资源面板，查看节点在线状态。")                \
  X(1, E_WSL_MISSING,                                                                               \
    L"E_WSL_MISSING：无法启动 WSL。安装 WSL 2，打开 Ubuntu 完成首次设置，再用新接入码重试。")       \
  X(2, E_WSL_VERSION, L"E_WSL_VERSION：所选发行版需要运行在 WSL 2。")                               \
  X(3, E_DOCKER_NOT_READY,                                                                          \
    L"E_DOCKER_NOT_READY：启动 Docker Desktop，并在 WSL Integration 中启用所选发行版。")            \
  X(4, E_PREREQUISITE, L"E_PREREQUISITE：所选 WSL 发行版需要 curl 和 Python 3.9 或更高版本。")      \
  X(5, E_DOWNLOAD, L"E_DOWNLOAD：下载失败。请确认该 WSL 发行版能访问 Quenvale。")                   \
  X(6, E_TOKEN, L"E_TOKEN：接入码已失效。请回控制台生成新码。")                                     \
  X(7, E_INSTALL, L"E_INSTALL：安装未完成。请到服务商资源面板的接入记录查看原因。")                 \
  X(8, E_START, L"E_START：无法启动安装进程，请重试。")                                             \
  X(9, S_WSL_INSTALLED,                                                                             \
    L"WSL 安装程序已结束。请打开 Ubuntu 完成首次用户名和密码设置，必要时先重启，然后再点接入。")    \
  X(10, S_REBOOT_REQUIRED, L"Windows 要求重启。重启后打开 Ubuntu 完成首次设置，再回到安装器。")     \
  X(11, E_WSL_SETUP, L"E_WSL_SETUP：WSL 安装未完成。请检查系统安装窗口或打开 WSL 2 安装说明。")     \
  X(12, E_DEPENDENCY_SETUP,                                                                         \
    L"E_DEPENDENCY_SETUP：Ubuntu 依赖安装或启动失败。请检查网络、软件源或 Docker 服务后再试。")     \
  X(13, S_DEPS_DECLINED, L"已取消安装依赖。准备好后可以再次点接入。")                               \
  X(14, E_WSL_FIRST_RUN,                                                                            \
    L"E_WSL_FIRST_RUN：请先从开始菜单打开 Ubuntu，完成普通用户的首次设置，然后再点接入。")

// kind, name, question
#define QV_PROMPT_LIST(X)                                                                           \
  X(1, PROMPT_INSTALL_WSL,                                                                          \
    L"需要 WSL 2 和 Ubuntu。现在运行 Microsoft 的 WSL 安装程序？Windows 可能要求管理员授权和重启。") \
  X(2, PROMPT_TOOLS,                                                                                \
    L"需要在所选 Ubuntu 发行版安装 curl、Python 3 和证书包。使用 Ubuntu 软件源安装？")              \
  X(3, PROMPT_DOCKER,                                                                               \
    L"允许安装或启动 Ubuntu 的 Docker Engine，并把当前 Ubuntu 用户加入 docker 组？"                 \
    L"该组可在 Ubuntu 内取得近似 root 的权限。")                                                    \
  X(4, PROMPT_TOOLS_AND_DOCKER,                                                                     \
    L"允许在所选 Ubuntu 中安装 curl、Python 3、证书包和 Docker Engine？"                            \
    L"安装后会加入 docker 组，该组可在 Ubuntu 内取得近似 root 的权限。")

#define QV_ENUM_ENTRY(code, name, text) name = code,

// Carried in a window message's first parameter; values of 15 or more are
// shown as E_START.
enum Outcome : unsigned { QV_OUTCOME_LIST(QV_ENUM_ENTRY) };
inline constexpr unsigned kOutcomeCount = 15;

// Which yes/no question to ask, and which progress text follows a Yes.
enum PromptKind : unsigned { QV_PROMPT_LIST(QV_ENUM_ENTRY) };

#undef QV_ENUM_ENTRY

// The outcome's status text; codes of 15 or more give E_START's.
const wchar_t* OutcomeMessage(unsigned code);
// The question for kinds 1 to 4, else null: such a request is answered No.
const wchar_t* PromptQuestion(unsigned kind);
// The WSL installer text for kind 1, the Ubuntu dependency text otherwise.
const wchar_t* ProgressText(unsigned kind);

inline constexpr const wchar_t kPromptCaption[] = L"确认安装 Quenvale 依赖";
inline constexpr const wchar_t kProgressWslInstaller[] =
    L"正在运行 Microsoft 的 WSL 安装程序。请留意 Windows 的授权或重启提示。";
inline constexpr const wchar_t kProgressDependencies[] =
    L"正在 Ubuntu 中安装和检查依赖。完成后会继续接入 Quenvale。";

inline constexpr const wchar_t kWindowTitle[] = L"Quenvale Windows 安装器";
inline constexpr const wchar_t kHeadingText[] = L"Quenvale  ·  Windows 节点接入";
inline constexpr const wchar_t kCodeLabelText[] = L"粘贴官网生成的一次性接入码：";
inline constexpr const wchar_t kDistroLabelText[] = L"WSL 发行版（留空使用默认；也可填 Ubuntu）";
inline constexpr const wchar_t kJoinButtonText[] = L"接入平台";
inline constexpr const wchar_t kWslGuideButtonText[] = L"WSL 2 安装说明";
inline constexpr const wchar_t kDockerGuideButtonText[] = L"Docker 配置说明";

inline constexpr const wchar_t kStatusOpening[] = L"此节点由平台分配给客户，使用量记在你的服务商账号。";
inline constexpr const wchar_t kStatusStarted[] = L"正在检查 Windows 和 WSL 里的依赖。检测到缺项时会先请你确认。";
inline constexpr const wchar_t kStatusInvalidCode[] = L"接入码无效。请在 Quenvale 网页生成并复制新的 Windows 接入码。";
inline constexpr const wchar_t kStatusInvalidDistro[] = L"发行版名称格式有误。可以留空使用默认发行版。";
inline constexpr const wchar_t kStatusThreadFailed[] = L"未能启动安装，请重试。";
inline constexpr const wchar_t kBusyCloseCaption[] = L"Quenvale";
inline constexpr const wchar_t kBusyCloseText[] = L"安装仍在进行，请等接入结果返回。";
