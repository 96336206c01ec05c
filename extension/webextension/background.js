// Relays right-clicks to quorvel-extension-host, which decides whether the context-menu item shows
// and with which title, and hands the links to Quorvel when the item is chosen. One port stays open
// so that the host keeps the links between the right-click and the choice.
"use strict";

const api = globalThis.browser ?? globalThis.chrome;
const hostName = "com.tessaline.quorvel";
const menuItemID = "quorvel-download";
const defaultTitle = "Download Linked File via Quorvel";

let port = null;
let nextID = 1;
const waiting = new Map();

function connect() {
  if (port)
    return port;
  port = api.runtime.connectNative(hostName);
  port.onMessage.addListener((reply) => {
    const resolve = waiting.get(reply.id);
    waiting.delete(reply.id);
    resolve?.(reply);
  });
  port.onDisconnect.addListener(() => {
    const error = api.runtime.lastError;
    if (error)
      console.warn("Quorvel extension host:", error.message);
    port = null;
    for (const resolve of waiting.values())
      resolve(null);
    waiting.clear();
  });
  return port;
}

// Sends a command and waits for its answer; null when the host is gone.
function ask(command) {
  return new Promise((resolve) => {
    const id = nextID++;
    waiting.set(id, resolve);
    try {
      connect().postMessage({ command, id });
    } catch (error) {
      waiting.delete(id);
      resolve(null);
    }
  });
}

async function validate() {
  const reply = await ask("validate");
  const hide = !reply || reply.hide;
  await api.contextMenus.update(menuItemID, { visible: !hide, title: reply?.title || defaultTitle });
  return !hide;
}

async function createMenuItem() {
  await api.contextMenus.removeAll();
  api.contextMenus.create({ id: menuItemID, title: defaultTitle, contexts: ["link", "selection"] });
}

api.runtime.onInstalled.addListener(createMenuItem);
api.runtime.onStartup?.addListener(createMenuItem);

api.runtime.onMessage.addListener((message) => {
  if (message?.name !== "context")
    return;
  try {
    connect().postMessage({ command: "message", name: "context", userInfo: message.userInfo });
  } catch (error) {
    return;
  }
  validate().then(() => api.contextMenus.refresh?.());
});

// Firefox says when its menu opens and redraws it on request: the item follows the host's answer
// for this very right-click. Other browsers show the item as last updated.
api.contextMenus.onShown?.addListener(async () => {
  await validate();
  api.contextMenus.refresh();
});

api.contextMenus.onClicked.addListener(async (info) => {
  if (info.menuItemId !== menuItemID)
    return;
  const reply = await ask("selected");
  if (!reply?.ok)
    console.warn("Quorvel: nothing to hand over, or Quorvel could not be reached");
});
