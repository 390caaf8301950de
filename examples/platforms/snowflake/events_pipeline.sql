-- events pipeline: example snowflake script
SELECT p.product_id, COALESCE(p.description, 'n/a') AS description, COUNT(*) AS sold
FROM products p LEFT JOIN order_lines l ON l.product_id = p.product_id
GROUP BY p.product_id, p.description;

WITH recent AS (
    SELECT id, amount, ROW_NUMBER() OVER (PARTITION BY id ORDER BY created_at DESC) AS rn
    FROM payments
)
SELECT id, amount FROM recent WHERE rn = 1;

DROP TABLE IF EXISTS tmp_results;

SELECT f.value:name::STRING AS name
FROM raw_events, LATERAL FLATTEN(input => payload:items) f;

CREATE OR REPLACE TABLE events (id NUMBER, payload VARIANT, loaded_at TIMESTAMP_NTZ);

USE WAREHOUSE transform_wh;

COPY INTO raw_events FROM @%raw_events FILE_FORMAT = (TYPE = JSON);

SELECT * EXCLUDE (ssn) FROM customers;

SELECT DIV0(revenue, visits) AS rpv, ZEROIFNULL(refunds) FROM daily_stats;

CREATE TABLE orders_dev CLONE orders;

SELECT * FROM orders AT(OFFSET => -3600);

