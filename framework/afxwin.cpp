#include "afxwin.h"
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

// ---- message maps

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = { { 0, 0, 0, nullptr } };
    static const AFX_MSGMAP map = { nullptr, entries };
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

bool CCmdTarget::DispatchMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    const UINT code = HIWORD(wParam), id = LOWORD(wParam);
    for (const AFX_MSGMAP* map = GetMessageMap(); map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->pfn; ++e) {
            if (e->nMessage != msg) continue;
            if (msg == WM_COMMAND && (e->nID != id || e->nCode != code)) continue;
            *pResult = e->pfn(this, wParam, lParam);
            return true;
        }
    }
    return false;
}

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

// ---- handle map and the window procedure

namespace {
std::mutex g_mapLock;
std::unordered_map<HWND, CWnd*>& HandleMap()
{
    static std::unordered_map<HWND, CWnd*> map;
    return map;
}

struct CurrentMsg {
    HWND hWnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};
thread_local CurrentMsg t_current{};
} // namespace

CWnd* CWnd::FromHandlePermanent(HWND hWnd)
{
    std::lock_guard<std::mutex> lock(g_mapLock);
    auto it = HandleMap().find(hWnd);
    return it == HandleMap().end() ? nullptr : it->second;
}

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CWnd* pWnd = CWnd::FromHandlePermanent(hWnd);
    if (!pWnd) return ::DefWindowProcA(hWnd, msg, wParam, lParam);
    CurrentMsg saved = t_current;
    t_current = { hWnd, msg, wParam, lParam };
    LRESULT r;
    if (msg == WM_NCDESTROY) {
        CWinApp* app = AfxGetApp();
        if (app && app->m_pMainWnd == pWnd) ::PostQuitMessage(0);
        r = pWnd->DefWindowProc(msg, wParam, lParam);
        {
            std::lock_guard<std::mutex> lock(g_mapLock);
            HandleMap().erase(hWnd);
        }
        pWnd->m_hWnd = nullptr;
        pWnd->m_pfnSuper = nullptr;
        pWnd->PostNcDestroy();
    } else {
        r = pWnd->WindowProc(msg, wParam, lParam);
    }
    t_current = saved;
    return r;
}

CWnd::~CWnd()
{
    if (!m_hWnd) return;
    HWND h = m_hWnd;
    if (::GetWindowThreadProcessId(h, nullptr) == ::GetCurrentThreadId()) {
        ::DestroyWindow(h); // detaches us in WM_NCDESTROY
    }
    if (m_hWnd) UnsubclassWindow();
}

BOOL CWnd::SubclassWindow(HWND hWnd)
{
    if (!hWnd || m_hWnd) return FALSE;
    {
        std::lock_guard<std::mutex> lock(g_mapLock);
        HandleMap()[hWnd] = this;
    }
    m_hWnd = hWnd;
    PreSubclassWindow();
    m_pfnSuper = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AfxWndProc)));
    return TRUE;
}

HWND CWnd::UnsubclassWindow()
{
    HWND h = m_hWnd;
    if (!h) return nullptr;
    if (m_pfnSuper) ::SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    {
        std::lock_guard<std::mutex> lock(g_mapLock);
        HandleMap().erase(h);
    }
    m_hWnd = nullptr;
    m_pfnSuper = nullptr;
    return h;
}

BOOL CWnd::DestroyWindow()
{
    return m_hWnd ? ::DestroyWindow(m_hWnd) : FALSE;
}

LRESULT CWnd::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    LRESULT r = 0;
    if (!OnWndMsg(msg, wParam, lParam, &r)) r = DefWindowProc(msg, wParam, lParam);
    return r;
}

BOOL CWnd::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (msg == WM_DRAWITEM && lParam) {
        // Owner drawing goes back to the control that asked for it.
        auto* dis = reinterpret_cast<LPDRAWITEMSTRUCT>(lParam);
        CWnd* child = FromHandlePermanent(dis->hwndItem);
        if (child && child->OnChildNotify(msg, wParam, lParam, pResult)) return TRUE;
    }
    if (DispatchMsg(msg, wParam, lParam, pResult)) return TRUE;
    if (msg == WM_COMMAND) {
        // Commands this window does not handle go to the application.
        CWinApp* app = AfxGetApp();
        if (app && app->DispatchMsg(msg, wParam, lParam, pResult)) return TRUE;
    }
    return FALSE;
}

LRESULT CWnd::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (m_pfnSuper) return ::CallWindowProcA(m_pfnSuper, m_hWnd, msg, wParam, lParam);
    return ::DefWindowProcA(m_hWnd, msg, wParam, lParam);
}

LRESULT CWnd::Default()
{
    return DefWindowProc(t_current.msg, t_current.wParam, t_current.lParam);
}

BOOL CWnd::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT*)
{
    return FALSE;
}

BOOL CWnd::PreTranslateMessage(MSG*)
{
    return FALSE;
}

void CWnd::GetWindowText(CString& text) const
{
    const int n = ::GetWindowTextLengthA(m_hWnd);
    std::vector<char> buf(static_cast<size_t>(n) + 1, '\0');
    ::GetWindowTextA(m_hWnd, buf.data(), n + 1);
    text = buf.data();
}

BOOL CWnd::ModifyStyle(DWORD remove, DWORD add, UINT swpFlags)
{
    DWORD style = GetStyle();
    DWORD newStyle = (style & ~remove) | add;
    if (style == newStyle) return FALSE;
    ::SetWindowLongPtrA(m_hWnd, GWL_STYLE, static_cast<LONG_PTR>(newStyle));
    if (swpFlags)
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | swpFlags);
    return TRUE;
}

// ---- dialogs

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (rControl.m_hWnd) return;
    rControl.SubclassWindow(::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC));
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT msg, WPARAM, LPARAM lParam)
{
    if (msg != WM_INITDIALOG) return FALSE;
    // From here on the dialog's messages reach its message map first; the
    // dialog manager's own procedure becomes the default processing.
    auto* pDlg = reinterpret_cast<CDialog*>(lParam);
    pDlg->SubclassWindow(hWnd);
    return pDlg->OnInitDialog();
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParent)
{
    m_nIDTemplate = nIDTemplate;
    if (pParent) m_pParentWnd = pParent;
    HWND h = ::CreateDialogParamA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(nIDTemplate),
                                  m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr, &CDialog::DialogProc,
                                  reinterpret_cast<LPARAM>(this));
    return h != nullptr;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::PreTranslateMessage(MSG* pMsg)
{
    if (!m_hWnd) return FALSE;
    if (pMsg->hwnd != m_hWnd && !::IsChild(m_hWnd, pMsg->hwnd)) return FALSE;
    return ::IsDialogMessageA(m_hWnd, pMsg);
}

// ---- controls

BOOL CButton::OnChildNotify(UINT msg, WPARAM, LPARAM lParam, LRESULT* pResult)
{
    if (msg != WM_DRAWITEM) return FALSE;
    DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
    *pResult = TRUE;
    return TRUE;
}

BOOL CStatic::OnChildNotify(UINT msg, WPARAM, LPARAM lParam, LRESULT* pResult)
{
    if (msg != WM_DRAWITEM) return FALSE;
    DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
    *pResult = TRUE;
    return TRUE;
}

void CProgressCtrl::GetRange(int& lower, int& upper) const
{
    PBRANGE range{};
    SendMessage(PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
    lower = range.iLow;
    upper = range.iHigh;
}

// ---- application

namespace {
CWinApp* g_pApp = nullptr;
} // namespace

CWinApp* AfxGetApp() { return g_pApp; }

HINSTANCE AfxGetInstanceHandle()
{
    if (g_pApp && g_pApp->m_hInstance) return g_pApp->m_hInstance;
    return ::GetModuleHandleA(nullptr);
}

void AfxEnableControlContainer()
{
    // This program hosts no ActiveX controls; nothing to prepare.
}

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

CWinApp::CWinApp(const char* pszAppName)
{
    g_pApp = this;
    if (pszAppName) {
        m_strAppName = pszAppName;
    } else {
        // No name given: take the executable's file name without its extension.
        char path[MAX_PATH] = {};
        ::GetModuleFileNameA(nullptr, path, MAX_PATH);
        const char* name = std::strrchr(path, '\\');
        m_strAppName = name ? name + 1 : path;
        const size_t dot = m_strAppName.rfind('.');
        if (dot != std::string::npos) m_strAppName.resize(dot);
    }
    m_pszAppName = m_strAppName.c_str();
}

CWinApp::~CWinApp()
{
    if (g_pApp == this) g_pApp = nullptr;
}

void CWinApp::SetProfileName(const char* path)
{
    m_strProfileName = path ? path : "";
    m_pszProfileName = path ? m_strProfileName.c_str() : nullptr;
}

int CWinApp::ExitInstance()
{
    return m_nQuitCode;
}

BOOL CWinApp::PreTranslateMessage(MSG* pMsg)
{
    return m_pMainWnd && m_pMainWnd->m_hWnd && m_pMainWnd->PreTranslateMessage(pMsg);
}

int CWinApp::Run()
{
    // A main window that could not be created would leave nothing to end
    // the loop: finish at once instead.
    if (m_pMainWnd && m_pMainWnd->m_hWnd) {
        MSG msg;
        while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (!PreTranslateMessage(&msg)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageA(&msg);
            }
        }
        if (msg.message == WM_QUIT) m_nQuitCode = static_cast<int>(msg.wParam);
    }
    return ExitInstance();
}

CString CWinApp::GetProfileString(const char* section, const char* entry, const char* def)
{
    if (m_pszRegistryKey || !m_pszProfileName) return CString(def);
    std::vector<char> buf(512);
    for (;;) {
        DWORD n = ::GetPrivateProfileStringA(section, entry, def ? def : "", buf.data(),
                                             static_cast<DWORD>(buf.size()), m_pszProfileName);
        if (n < buf.size() - 2 || buf.size() >= 65536) return CString(buf.data(), static_cast<int>(n));
        buf.resize(buf.size() * 4);
    }
}

HICON CWinApp::LoadIcon(UINT nIDResource) const
{
    return ::LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(nIDResource));
}
