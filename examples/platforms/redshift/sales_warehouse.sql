-- sales warehouse: example redshift script
DELETE FROM staging_orders WHERE batch_id IN (SELECT batch_id FROM batches WHERE state = 'done');

CREATE INDEX idx_orders_customer ON orders (customer_id);

SELECT p.product_id, COALESCE(p.description, 'n/a') AS description, COUNT(*) AS sold
FROM products p LEFT JOIN order_lines l ON l.product_id = p.product_id
GROUP BY p.product_id, p.description;

CREATE TABLE sales (
  sale_id BIGINT ENCODE AZ64,
  region VARCHAR(20) ENCODE ZSTD
)
DISTSTYLE KEY
DISTKEY (sale_id)
SORTKEY (region);

COPY sales FROM 's3://bucket/sales/'
IAM_ROLE 'arn:aws:iam::123456789012:role/loader'
FORMAT AS PARQUET;

UNLOAD ('SELECT * FROM sales') TO 's3://bucket/export/' IAM_ROLE default;

SELECT query, elapsed FROM STL_QUERY WHERE userid > 1 ORDER BY starttime DESC LIMIT 20;

SELECT APPROXIMATE COUNT(DISTINCT user_id) FROM page_views;

ALTER TABLE sales APPEND FROM sales_staging;

