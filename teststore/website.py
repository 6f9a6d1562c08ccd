"""The web site listener: the downloader's status page, which the connectivity check asks."""

import servers

STATUS_PATH = "/en/downloader/status/"


def status_page(store):
    if store.site_up:
        return servers.text(200, "OK")
    return servers.text(503, "Service Unavailable")


# path -> function(store) returning a servers.Response
ROUTES = {
    STATUS_PATH: status_page,
}


class SiteHandler(servers.StoreHandler):
    def route(self, method, path, query, entry):
        page = ROUTES.get(path)
        if page is None:
            return servers.text(404, "404 Not Found\n")
        return page(self.server.store)
