// Reports the links of a right-click to the background script: the link under the pointer
// ("primary") and the links inside the selection ("gathered"). Only web addresses are reported.
"use strict";

(() => {
  const api = globalThis.browser ?? globalThis.chrome;

  const webAddress = (anchor) => {
    const href = anchor.href;
    return typeof href === "string" && /^https?:/i.test(href) ? href : null;
  };

  const linksInSelection = () => {
    const selection = window.getSelection();
    const links = [];
    if (!selection || selection.isCollapsed)
      return links;
    for (let i = 0; i < selection.rangeCount; i++) {
      const range = selection.getRangeAt(i);
      const root = range.commonAncestorContainer;
      const scope = root.nodeType === Node.ELEMENT_NODE ? root : root.parentElement;
      if (!scope)
        continue;
      // A selection inside one link has that link as its scope.
      const enclosing = scope.closest("a[href], area[href]");
      if (enclosing)
        links.push(enclosing);
      for (const anchor of scope.querySelectorAll("a[href], area[href]")) {
        if (range.intersectsNode(anchor))
          links.push(anchor);
      }
    }
    return links;
  };

  document.addEventListener("contextmenu", (event) => {
    const target = event.target instanceof Element ? event.target : event.target?.parentElement;
    const under = target?.closest("a[href], area[href]");
    const primary = under && webAddress(under) ? [webAddress(under)] : [];
    const gathered = [];
    for (const anchor of linksInSelection()) {
      const address = webAddress(anchor);
      if (address && !gathered.includes(address))
        gathered.push(address);
    }
    api.runtime.sendMessage({ name: "context", userInfo: { primary, gathered } }).catch(() => {});
  }, true);
})();
