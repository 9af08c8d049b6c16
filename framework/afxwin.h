// Our own small application framework: just what this program's classes expect
// of the classic Windows framework, written with RAII and no copyable owners.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>
#include <string>
#include "afxstr.h"
#include "afxgdi.h"

#ifndef ID_HELP
#define ID_HELP 0xE146
#endif

class CCmdTarget;
class CWnd;

// ---- message maps
// Each entry binds a message (and, for WM_COMMAND, a notification code and an
// id) to a thunk that unpacks the parameters and calls the class's handler.
using AFX_PMSG = LRESULT (*)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);
struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;   // WM_COMMAND notification code
    UINT nID;     // WM_COMMAND control id
    AFX_PMSG pfn; // null ends the table
};
struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP() \
protected: \
    static const AFX_MSGMAP* GetThisMessageMap(); \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass) \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap() { \
        using ThisClass [[maybe_unused]] = theClass; \
        using TheBaseClass = baseClass; \
        static const AFX_MSGMAP_ENTRY entries[] = {
#define END_MESSAGE_MAP() \
            { 0, 0, 0, nullptr } }; \
        static const AFX_MSGMAP map = { &TheBaseClass::GetThisMessageMap, entries }; \
        return &map; }

#define AFX_THIS(t) static_cast<ThisClass*>(t)
#define ON_MESSAGE(msg, fn) \
    { msg, 0, 0, [](CCmdTarget* t, WPARAM w, LPARAM l) -> LRESULT { return AFX_THIS(t)->fn(w, l); } },
#define ON_COMMAND(id, fn) \
    { WM_COMMAND, 0, id, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT { AFX_THIS(t)->fn(); return 0; } },
#define ON_BN_CLICKED(id, fn) \
    { WM_COMMAND, BN_CLICKED, id, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT { AFX_THIS(t)->fn(); return 0; } },
#define ON_WM_PAINT() \
    { WM_PAINT, 0, 0, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT { AFX_THIS(t)->OnPaint(); return 0; } },
#define ON_WM_ERASEBKGND() \
    { WM_ERASEBKGND, 0, 0, [](CCmdTarget* t, WPARAM w, LPARAM) -> LRESULT { \
        CDC dc(reinterpret_cast<HDC>(w)); return AFX_THIS(t)->OnEraseBkgnd(&dc); } },
#define ON_WM_SIZE() \
    { WM_SIZE, 0, 0, [](CCmdTarget* t, WPARAM w, LPARAM l) -> LRESULT { \
        AFX_THIS(t)->OnSize(static_cast<UINT>(w), LOWORD(l), HIWORD(l)); return 0; } },
#define ON_WM_QUERYDRAGICON() \
    { WM_QUERYDRAGICON, 0, 0, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT { \
        return reinterpret_cast<LRESULT>(AFX_THIS(t)->OnQueryDragIcon()); } },
#define ON_WM_CLOSE() \
    { WM_CLOSE, 0, 0, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT { AFX_THIS(t)->OnClose(); return 0; } },
#define ON_WM_DESTROY() \
    { WM_DESTROY, 0, 0, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT { AFX_THIS(t)->OnDestroy(); return 0; } },
#define ON_WM_TIMER() \
    { WM_TIMER, 0, 0, [](CCmdTarget* t, WPARAM w, LPARAM) -> LRESULT { \
        AFX_THIS(t)->OnTimer(static_cast<UINT_PTR>(w)); return 0; } },
#define ON_WM_MOUSEMOVE() \
    { WM_MOUSEMOVE, 0, 0, [](CCmdTarget* t, WPARAM w, LPARAM l) -> LRESULT { \
        AFX_THIS(t)->OnMouseMove(static_cast<UINT>(w), CPoint(static_cast<short>(LOWORD(l)), static_cast<short>(HIWORD(l)))); \
        return 0; } },
#define ON_WM_NCCALCSIZE() \
    { WM_NCCALCSIZE, 0, 0, [](CCmdTarget* t, WPARAM w, LPARAM l) -> LRESULT { \
        return AFX_THIS(t)->OnNcCalcSize(static_cast<BOOL>(w), reinterpret_cast<NCCALCSIZE_PARAMS*>(l)); } },
#define ON_WM_NCPAINT() \
    { WM_NCPAINT, 0, 0, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT { AFX_THIS(t)->OnNcPaint(); return 0; } },

struct CPoint : POINT {
    CPoint() { x = 0; y = 0; }
    CPoint(int px, int py) { x = px; y = py; }
};
struct CRect : RECT {
    CRect() { left = top = right = bottom = 0; }
    CRect(int l, int t, int r, int b) { left = l; top = t; right = r; bottom = b; }
    CRect(const RECT& r) : RECT(r) {}
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    void OffsetRect(int dx, int dy) { ::OffsetRect(this, dx, dy); }
    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
};

// ---- command targets
class CCmdTarget {
public:
    CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;
    virtual ~CCmdTarget() = default;

    // Looks the message up in this class's map and its bases'; true when handled.
    bool DispatchMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    static const AFX_MSGMAP* GetThisMessageMap();
protected:
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

// ---- windows
class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    ~CWnd() override;

    HWND m_hWnd = nullptr;
    operator HWND() const { return m_hWnd; }

    // The object that owns a window of this process, or null.
    static CWnd* FromHandlePermanent(HWND hWnd);

    BOOL SubclassWindow(HWND hWnd);
    HWND UnsubclassWindow();
    virtual void PreSubclassWindow() {}
    BOOL DestroyWindow();

    virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    // Default processing of the message being handled.
    LRESULT Default();
    // A control's chance to handle a notification its parent received (owner drawing).
    virtual BOOL OnChildNotify(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual BOOL PreTranslateMessage(MSG* pMsg);
    virtual void PostNcDestroy() {}

    // Thin wrappers; they work from any thread (messages to another thread's
    // windows are sent to it).
    BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL SetWindowPos(const CWnd* pAfter, int x, int y, int cx, int cy, UINT flags)
    { return ::SetWindowPos(m_hWnd, pAfter ? pAfter->m_hWnd : nullptr, x, y, cx, cy, flags); }
    void GetClientRect(LPRECT r) const { ::GetClientRect(m_hWnd, r); }
    void GetWindowRect(LPRECT r) const { ::GetWindowRect(m_hWnd, r); }
    BOOL InvalidateRect(LPCRECT r, BOOL bErase = TRUE) { return ::InvalidateRect(m_hWnd, r, bErase); }
    void Invalidate(BOOL bErase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, bErase); }
    void UpdateWindow() { ::UpdateWindow(m_hWnd); }
    BOOL EnableWindow(BOOL bEnable = TRUE) { return ::EnableWindow(m_hWnd, bEnable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    BOOL BringWindowToTop() { return ::BringWindowToTop(m_hWnd); }
    void SetWindowText(const char* text) { ::SetWindowTextA(m_hWnd, text); }
    void GetWindowText(CString& text) const;
    CString GetWindowText() const { CString s; GetWindowText(s); return s; }
    HWND GetDlgItem(int nID) const { return ::GetDlgItem(m_hWnd, nID); }
    HWND GetParent() const { return ::GetParent(m_hWnd); }
    UINT_PTR SetTimer(UINT_PTR id, UINT ms, TIMERPROC proc) { return ::SetTimer(m_hWnd, id, ms, proc); }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
    LRESULT SendMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) const { return ::SendMessageA(m_hWnd, msg, w, l); }
    DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongPtrA(m_hWnd, GWL_STYLE)); }
    BOOL ModifyStyle(DWORD remove, DWORD add, UINT swpFlags = 0);
    HICON SetIcon(HICON hIcon, BOOL bBigIcon)
    { return reinterpret_cast<HICON>(SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon))); }
    HFONT GetFont() const { return reinterpret_cast<HFONT>(SendMessage(WM_GETFONT)); }

protected:
    DECLARE_MESSAGE_MAP()
    WNDPROC m_pfnSuper = nullptr; // the window procedure we subclassed
    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);
};

// ---- dialogs
class CDataExchange {
public:
    CDataExchange(CWnd* pDlg, BOOL bSave) : m_pDlgWnd(pDlg), m_bSaveAndValidate(bSave) {}
    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParent = nullptr) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParent) {}
    // Modeless creation; OnInitDialog runs before this returns.
    BOOL Create(UINT nIDTemplate, CWnd* pParent = nullptr);
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange*) {}
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    BOOL PreTranslateMessage(MSG* pMsg) override;
protected:
    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;
private:
    static INT_PTR CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM);
};

// ---- controls
class CButton : public CWnd {
public:
    virtual void DrawItem(LPDRAWITEMSTRUCT) {}
    BOOL OnChildNotify(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
};

class CStatic : public CWnd {
public:
    virtual void DrawItem(LPDRAWITEMSTRUCT) {}
    BOOL OnChildNotify(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
};

class CProgressCtrl : public CWnd {
public:
    void SetRange32(int lower, int upper) { SendMessage(PBM_SETRANGE32, static_cast<WPARAM>(lower), static_cast<LPARAM>(upper)); }
    void GetRange(int& lower, int& upper) const;
    int SetPos(int pos) { return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(pos))); }
    int GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS)); }
};

// ---- application
class CWinApp : public CCmdTarget {
public:
    explicit CWinApp(const char* pszAppName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance();
    virtual int Run();
    virtual BOOL PreTranslateMessage(MSG* pMsg);
    void OnHelp() {}

    // Reads through the private-profile reader when m_pszProfileName is a path.
    CString GetProfileString(const char* section, const char* entry, const char* def = nullptr);
    HICON LoadIcon(UINT nIDResource) const;

    // The settings file GetProfileString reads; null: every key takes its default.
    void SetProfileName(const char* path);

    CWnd* m_pMainWnd = nullptr;
    HINSTANCE m_hInstance = nullptr;
    const char* m_pszAppName = nullptr;     // points into m_strAppName
    const char* m_pszProfileName = nullptr; // points into m_strProfileName (SetProfileName)
    const char* m_pszRegistryKey = nullptr;
protected:
    int m_nQuitCode = 0;
    DECLARE_MESSAGE_MAP()
private:
    std::string m_strAppName;
    std::string m_strProfileName;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
void AfxEnableControlContainer();
